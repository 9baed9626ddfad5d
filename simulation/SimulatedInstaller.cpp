// Driver package installation, device update and device installation over the shared store.
#include "simulation/DeviceControl.h"
#include "simulation/DeviceInfoSets.h"
#include "simulation/DeviceNames.h"
#include "simulation/DeviceWorld.h"
#include "simulation/InstallBehaviour.h"
#include "simulation/NotificationHub.h"
#include "simulation/SimulatedServices.h"
#include "simulation/WorldStore.h"

namespace simulation::services
{

namespace
{

constexpr DWORD kErrorNoCompatibleDrivers = 0xE0000228;

bool Failed(const wchar_t* function)
{
    const DWORD error = InstallFailure(function);
    if (error == 0)
    {
        return false;
    }
    ::SetLastError(error);
    return true;
}

void Report(PBOOL needReboot, const wchar_t* function)
{
    if (needReboot)
    {
        *needReboot = InstallReboot(function) ? TRUE : FALSE;
    }
}

bool InfPresent(LPCWSTR infPath)
{
    if (!infPath || !*infPath)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The last error of the lookup stays (file or path not found).
    return ::GetFileAttributesW(infPath) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

BOOL WINAPI DiInstallDriverW(HWND, LPCWSTR infPath, DWORD flags, PBOOL needReboot)
{
    if (needReboot)
    {
        *needReboot = FALSE;
    }
    if (!InfPresent(infPath) || Failed(L"DiInstallDriverW"))
    {
        return FALSE;
    }
    // The driver store already holds this package: nothing newer to install.
    if (DriverPackageInstalled() && !(flags & DIIRFLAG_FORCE_INF))
    {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    store::SetInstallSetting(L"PackageInstalled", 1);
    Report(needReboot, L"DiInstallDriverW");
    return TRUE;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR hardwareId, LPCWSTR infPath, DWORD,
                                               PBOOL needReboot)
{
    if (needReboot)
    {
        *needReboot = FALSE;
    }
    if (!hardwareId || !*hardwareId)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!InfPresent(infPath) || Failed(L"UpdateDriverForPlugAndPlayDevicesW"))
    {
        return FALSE;
    }
    bool matched = false;
    for (const auto& device : store::Devices())
    {
        if (device.state == DeviceState::Removed)
        {
            continue;
        }
        for (const auto& id : device.hardwareIds)
        {
            matched = matched || EqualNoCase(id, hardwareId);
        }
    }
    if (!matched)
    {
        ::SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    store::SetInstallSetting(L"PackageInstalled", 1);
    Report(needReboot, L"UpdateDriverForPlugAndPlayDevicesW");
    return TRUE;
}

BOOL WINAPI DiInstallDevice(HWND, HDEVINFO handle, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W, DWORD,
                            PBOOL needReboot)
{
    if (needReboot)
    {
        *needReboot = FALSE;
    }
    const std::optional<DeviceInfoElement> element = CDeviceInfoSets::Instance().CopyElement(handle, device);
    if (!element)
    {
        return FALSE;
    }
    const DeviceInfoElement& copy = *element;
    const auto record = store::Find(copy.instanceId);
    if (!copy.registered || !record || record->state == DeviceState::Removed)
    {
        ::SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (Failed(L"DiInstallDevice"))
    {
        return FALSE;
    }
    bool ours = false;
    for (const auto& id : record->hardwareIds)
    {
        ours = ours || EqualNoCase(id, kHardwareId);
    }
    if (!ours)
    {
        ::SetLastError(kErrorNoCompatibleDrivers);
        return FALSE;
    }
    if (record->state != DeviceState::Started)
    {
        store::SetState(record->instanceId, DeviceState::Started);
        store::Bump();
        if (CDeviceWorld* world = CDeviceWorld::Current())
        {
            world->Sync();
        }
        CNotificationHub::Instance().Wake();
    }
    Report(needReboot, L"DiInstallDevice");
    return TRUE;
}

INT WINAPI SetupPromptReboot(HSPFILEQ, HWND, BOOL)
{
    CWorldLock lock;
    store::SetInstallSetting(L"RebootPrompts", RebootPrompts() + 1);
    // The user declined: nothing restarts.
    return 0;
}

} // namespace simulation::services
