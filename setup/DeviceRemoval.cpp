#include "setup/DeviceRemoval.h"

#include "driver/DeviceHandles.h"
#include "setup/DevicePackage.h"
#include "setup/SetupError.h"

#include "diagnostics/Log.h"

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
    const driver::UniqueDeviceInfoSet set(devices.SetupDiGetClassDevsW(
        &setup::kInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
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
        if (deviceInstanceId != nullptr && !SameInstanceId(deviceInstanceId, instanceId))
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
