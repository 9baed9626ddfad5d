#pragma once
// Configured outcomes of the simulated installation services, kept in the shared store so that a
// command run in another process (orvane-sim.exe -D, -a, -r) sees them.
//   failures: the function fails with the code (last error) instead of doing its work; names are the
//             function names, plus "DIF_REGISTERDEVICE" and "DIF_REMOVE" for the class installer;
//   reboots:  DiInstallDriverW, UpdateDriverForPlugAndPlayDevicesW, DiInstallDevice report a reboot;
//             "DIF_REMOVE" sets DI_NEEDRESTART in the device's install parameters.
#include <string>

#include <windows.h>

namespace simulation
{

void SetInstallFailure(const std::wstring& function, DWORD error); // 0 clears
void SetInstallReboot(const std::wstring& function, bool reboot);
// Clears every configured outcome and forgets the installed driver package.
void ClearInstallBehaviour();
DWORD InstallFailure(const std::wstring& function);
bool InstallReboot(const std::wstring& function);
// How often SetupPromptReboot was called.
DWORD RebootPrompts();
bool DriverPackageInstalled();

} // namespace simulation
