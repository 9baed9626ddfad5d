#include "setup/DeviceCreation.h"

#include "driver/DeviceHandles.h"
#include "platform/SystemApi.h"
#include "setup/DevicePackage.h"
#include "setup/SetupError.h"

#include "diagnostics/Log.h"

#include <cwchar>

namespace
{

// Copy the driver package's files into the driver store as well (newer SDKs call it
// DIIDFLAG_INSTALLCOPYINFDRIVERS).
constexpr DWORD kInstallCopyInfDrivers = 0x00000008;
// The longest hardware id copied into the buffer.
constexpr std::size_t kHardwareIdLimit = 256;
// SetupDiGetINFClassW's class name buffer.
constexpr DWORD kClassNameCharacters = 32;

// The steps after the set exists; returns the instance id or empty. `installReboot` is what
// DiInstallDevice reported (left alone when it was not called).
std::wstring RegisterAndInstall(HDEVINFO set, const GUID& classGuid, const wchar_t* className,
                                const wchar_t* hardwareIds, std::size_t hardwareIdsCharacters,
                                BOOL& installReboot)
{
    driver::DeviceApi& devices = driver::Devices();
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!devices.SetupDiCreateDeviceInfoW(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                          &device))
    {
        setup::LogSetupError(L"SetupDiCreateDeviceInfo failed: ", ::GetLastError());
        return {};
    }
    if (!devices.SetupDiSetDeviceRegistryPropertyW(
            set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareIds),
            static_cast<DWORD>(hardwareIdsCharacters * sizeof(wchar_t))))
    {
        setup::LogSetupError(L"SetupDiSetDeviceRegistryProperty failed: ", ::GetLastError());
        return {};
    }
    if (!devices.SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
    {
        setup::LogSetupError(L"SetupDiCallClassInstaller failed: ", ::GetLastError());
        return {};
    }
    if (!devices.DiInstallDevice(nullptr, set, &device, nullptr, kInstallCopyInfDrivers, &installReboot))
    {
        setup::LogSetupError(L"DiInstallDevice failed: ", ::GetLastError());
        return {};
    }
    wchar_t instanceId[setup::kPathCharacters] = {};
    if (!devices.SetupDiGetDeviceInstanceIdW(set, &device, instanceId, setup::kPathCharacters, nullptr))
    {
        setup::LogSetupError(L"SetupDiGetDeviceInstanceId failed: ", ::GetLastError());
        return {};
    }
    return instanceId;
}

} // namespace

std::wstring CreateDevice(std::uint32_t& rebootNeeded)
{
    rebootNeeded = 0;
    wchar_t infPath[setup::kPathCharacters] = {};
    if (platform::Api().GetFullPathNameW(setup::kInfFileName, setup::kPathCharacters, infPath, nullptr) >=
        setup::kPathCharacters)
    {
        VLOG(velmar::LogSeverity::Error) << L"Inf full path is too long";
        return {};
    }

    // A multi-string: the id, its terminator and the list's terminator (the buffer is zero-filled).
    wchar_t hardwareIds[setup::kPathCharacters] = {};
    if (wcsncpy_s(hardwareIds, setup::kPathCharacters, setup::kHardwareId, kHardwareIdLimit) != 0)
    {
        VLOG(velmar::LogSeverity::Error) << L"Memory copy failed";
        return {};
    }
    const std::size_t hardwareIdsCharacters = std::wcslen(hardwareIds) + 2;

    driver::DeviceApi& devices = driver::Devices();
    GUID classGuid{};
    wchar_t className[kClassNameCharacters] = {};
    if (!devices.SetupDiGetINFClassW(infPath, &classGuid, className, kClassNameCharacters, nullptr))
    {
        setup::LogSetupError(L"SetupDiGetINFClass failed: ", ::GetLastError());
        return {};
    }
    const driver::UniqueDeviceInfoSet set(devices.SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!set)
    {
        setup::LogSetupError(L"SetupDiCreateDeviceInfoList failed: ", ::GetLastError());
        return {};
    }
    BOOL installReboot = FALSE;
    std::wstring instanceId = RegisterAndInstall(set.get(), classGuid, className, hardwareIds,
                                                 hardwareIdsCharacters, installReboot);
    rebootNeeded = static_cast<std::uint32_t>(installReboot);
    return instanceId;
}
