#include "simulation/InstallBehaviour.h"

#include "simulation/WorldStore.h"

namespace simulation
{

void SetInstallFailure(const std::wstring& function, DWORD error)
{
    store::SetInstallSetting(L"Fail." + function, error);
}

void SetInstallReboot(const std::wstring& function, bool reboot)
{
    store::SetInstallSetting(L"Reboot." + function, reboot ? 1 : 0);
}

void ClearInstallBehaviour()
{
    store::ClearInstallSettings();
}

DWORD InstallFailure(const std::wstring& function)
{
    return store::InstallSetting(L"Fail." + function);
}

bool InstallReboot(const std::wstring& function)
{
    return store::InstallSetting(L"Reboot." + function) != 0;
}

DWORD RebootPrompts()
{
    return store::InstallSetting(L"RebootPrompts");
}

bool DriverPackageInstalled()
{
    return store::InstallSetting(L"PackageInstalled") != 0;
}

} // namespace simulation
