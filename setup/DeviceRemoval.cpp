#include "setup/DeviceRemoval.h"

#include "driver/DeviceHandles.h"
#include "setup/DevicePackage.h"
#include "setup/SetupError.h"

#include "diagnostics/Log.h"

#include <cwchar>
#include <string>

namespace
{

void LogNotFound(const wchar_t* deviceInstanceId)
{
    VLOG(velmar::LogSeverity::Error) << L"Did not find the Device " << deviceInstanceId << L" to remove";
}

bool SameInstanceId(const wchar_t* a, const wchar_t* b)
{
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// True when the device's hardware ids include the product's. A device that has none, or whose ids
// cannot be read, is not the product's.
bool IsProductDevice(HDEVINFO set, SP_DEVINFO_DATA& device)
{
    wchar_t ids[1024] = {};
    DWORD type = 0;
    // Room for a final pair of NULs even when the stored list lacks them.
    if (!driver::Devices().SetupDiGetDeviceRegistryPropertyW(
            set, &device, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids), sizeof(ids) - 4, nullptr) ||
        type != REG_MULTI_SZ)
    {
        return false;
    }
    for (const wchar_t* id = ids; *id != L'\0'; id += ::wcslen(id) + 1)
    {
        if (SameInstanceId(id, setup::kHardwareId))
        {
            return true;
        }
    }
    return false;
}

// The device's global removal through the class installer; false (logged) when it fails.
bool RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA& device, std::uint32_t& rebootNeeded)
{
    driver::DeviceApi& devices = driver::Devices();
    SP_DEVINFO_LIST_DETAIL_DATA_W detail{};
    detail.cbSize = sizeof(detail);
    if (!devices.SetupDiGetDeviceInfoListDetailW(set, &detail))
    {
        setup::LogSetupError(L"SetupDiGetDeviceInfoListDetail failed: ", ::GetLastError());
        return false;
    }
    SP_REMOVEDEVICE_PARAMS parameters{};
    parameters.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    parameters.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    parameters.Scope = DI_REMOVEDEVICE_GLOBAL;
    parameters.HwProfile = 0;
    if (!devices.SetupDiSetClassInstallParamsW(set, &device, &parameters.ClassInstallHeader,
                                               sizeof(parameters)) ||
        !devices.SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
    {
        setup::LogSetupError(L"DIF_REMOVE failed: ", ::GetLastError());
        return false;
    }
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof(install);
    if (devices.SetupDiGetDeviceInstallParamsW(set, &device, &install) &&
        (install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0)
    {
        rebootNeeded = 1;
    }
    return true;
}

} // namespace

bool RemoveDevices(const wchar_t* deviceInstanceId, std::uint32_t& rebootNeeded)
{
    rebootNeeded = 0;
    driver::DeviceApi& devices = driver::Devices();
    // Every root-enumerated device, present or not, whatever its class: a device whose driver failed
    // (or that a failed add left without one) exposes no interface, and must still be found. The
    // product's devices are picked by their hardware id.
    const driver::UniqueDeviceInfoSet set(
        devices.SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES));
    if (!set)
    {
        if (deviceInstanceId != nullptr)
        {
            LogNotFound(deviceInstanceId);
            return false;
        }
        VLOG(velmar::LogSeverity::Verb) << L"No device to remove";
        return true;
    }

    for (DWORD index = 0;; ++index)
    {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!devices.SetupDiEnumDeviceInfo(set.get(), index, &device))
        {
            const DWORD error = ::GetLastError();
            if (error != ERROR_NO_MORE_ITEMS)
            {
                setup::LogSetupError(L"SetupDiEnumDeviceInfo failed: ", error);
                return false;
            }
            if (deviceInstanceId != nullptr)
            {
                LogNotFound(deviceInstanceId);
                return false;
            }
            VLOG(velmar::LogSeverity::Verb) << L"No device to remove";
            return true;
        }
        wchar_t instanceId[setup::kPathCharacters] = {};
        if (!devices.SetupDiGetDeviceInstanceIdW(set.get(), &device, instanceId, setup::kPathCharacters,
                                                 nullptr))
        {
            setup::LogSetupError(L"SetupDiGetDeviceInstanceId failed: ", ::GetLastError());
            return false;
        }
        if ((deviceInstanceId != nullptr && !SameInstanceId(deviceInstanceId, instanceId)) ||
            !IsProductDevice(set.get(), device))
        {
            continue;
        }
        VLOG(velmar::LogSeverity::Verb) << L"Removing device " << instanceId;
        if (!RemoveDevice(set.get(), device, rebootNeeded))
        {
            return false;
        }
        if (deviceInstanceId != nullptr)
        {
            return true;
        }
    }
}
