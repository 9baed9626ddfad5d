#include "driver/DeviceChildren.h"

#include "config/InstanceId.h"
#include "diagnostics/Log.h"
#include "driver/DeviceHandles.h"
#include "driver/Devices.h"
#include "platform/SystemError.h"

#include <algorithm>
#include <cwchar>

namespace
{

// {4340A6C5-93FA-4706-972C-7B648008A5A7}, 9: the ids of a device's child devices.
constexpr DEVPROPKEY kDeviceChildrenKey{
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 9};
constexpr DWORD kChildrenBufferBytes = 1024;

} // namespace

std::vector<std::wstring> GetDeviceChildren(const std::wstring& link, const GUID& interfaceClass)
{
    std::vector<std::wstring> children;
    std::wstring deviceId = InstanceIdFromPath(link);
    std::replace(deviceId.begin(), deviceId.end(), L'#', L'\\');

    const driver::UniqueDeviceInfoSet set(driver::Devices().SetupDiGetClassDevsW(
        &interfaceClass, deviceId.c_str(), nullptr, DIGCF_DEVICEINTERFACE));
    if (!set)
    {
        VLOG(velmar::LogSeverity::Error)
            << L"SetupDiGetClassDevs failed: " << FormatSystemError(GetLastError());
        return children;
    }

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!driver::Devices().SetupDiEnumDeviceInfo(set.get(), 0, &device))
    {
        VLOG(velmar::LogSeverity::Error)
            << L"SetupDiEnumDeviceInfo failed: " << FormatSystemError(GetLastError());
        return children;
    }
    VLOG(velmar::LogSeverity::Verb5) << L"Found ID " << deviceId << L" for " << link;

    // Whole wide characters, so the list can be walked in place.
    wchar_t buffer[kChildrenBufferBytes / sizeof(wchar_t)] = {};
    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    DWORD required = 0;
    if (!driver::Devices().SetupDiGetDevicePropertyW(set.get(), &device, &kDeviceChildrenKey, &type,
                                                     reinterpret_cast<PBYTE>(buffer), kChildrenBufferBytes,
                                                     &required, 0))
    {
        return children;
    }
    if (type != DEVPROP_TYPE_STRING_LIST)
    {
        VLOG(velmar::LogSeverity::Error)
            << L"SetupDiGetDeviceProperty for PKEY_Device_Children did not return a string list";
        return children;
    }

    // Never past what was written nor past the buffer, even if the list lacks its terminators.
    const std::size_t available = std::min<std::size_t>(required, kChildrenBufferBytes) / sizeof(wchar_t);
    std::size_t position = 0;
    while (position < available && buffer[position] != L'\0')
    {
        const std::size_t length = ::wcsnlen(buffer + position, available - position);
        const std::wstring child(buffer + position, length);
        children.push_back(child);
        VLOG(velmar::LogSeverity::Verb5) << L" + Found child " << child << L" for " << deviceId;
        position += length + 1;
    }
    return children;
}
