#include "setup/DriverInstallation.h"

#include "driver/Devices.h"
#include "platform/SystemApi.h"
#include "setup/DevicePackage.h"
#include "setup/SetupError.h"

#include "diagnostics/Log.h"

#include <string>

namespace
{

// No device with the hardware id exists yet: nothing to update.
constexpr DWORD kNoSuchDeviceInstance = 0xE000020B;

} // namespace

bool InstallDriver(std::uint32_t& rebootNeeded)
{
    rebootNeeded = 0;
    wchar_t fullPath[setup::kPathCharacters] = {};
    if (platform::Api().GetFullPathNameW(setup::kInfFileName, setup::kPathCharacters, fullPath, nullptr) >=
        setup::kPathCharacters)
    {
        return false;
    }
    const std::wstring infPath = fullPath;
    driver::DeviceApi& devices = driver::Devices();

    BOOL packageReboot = FALSE;
    if (!devices.DiInstallDriverW(nullptr, infPath.c_str(), 0, &packageReboot))
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_NO_MORE_ITEMS)
        {
            VLOG(velmar::LogSeverity::Info) << L"The installed driver is already same or newer";
            return true;
        }
        setup::LogSetupError(L"Install driver for inf file '" + infPath + L"' failed: ", error);
        return false;
    }

    BOOL devicesReboot = FALSE;
    if (!devices.UpdateDriverForPlugAndPlayDevicesW(nullptr, setup::kHardwareId, infPath.c_str(), 0,
                                                    &devicesReboot))
    {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_NO_MORE_ITEMS && error != kNoSuchDeviceInstance)
        {
            setup::LogSetupError(
                L"Failed to update devices for new driver with inf file '" + infPath + L"' failed: ", error);
            return false;
        }
    }
    rebootNeeded = static_cast<std::uint32_t>(packageReboot | devicesReboot);
    return true;
}
