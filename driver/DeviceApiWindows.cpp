// The device-facing services of a real Windows system. Functions that the import libraries or older
// systems lack are looked up in their DLL on first use; when absent, the entry fails the way the real
// function reports "not implemented" instead of crashing.
#include "driver/DeviceApi.h"

namespace driver
{
namespace
{

// The DLL stays loaded for the rest of the process: the resolved pointers are used for the whole run.
template <typename Fn> Fn Resolve(const wchar_t* module, const char* name) noexcept
{
    HMODULE handle = ::GetModuleHandleW(module);
    if (handle == nullptr)
    {
        handle = ::LoadLibraryExW(module, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (handle == nullptr)
    {
        return nullptr;
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(handle, name)));
}

using RegisterNotificationFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                  PHCMNOTIFICATION);
using UnregisterNotificationFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);
using InstallDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, DWORD, PBOOL);
using InstallDeviceFn = BOOL(WINAPI*)(HWND, HDEVINFO, PSP_DEVINFO_DATA, PSP_DRVINFO_DATA_W, DWORD, PBOOL);

CONFIGRET WINAPI RegisterNotification(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                      PHCMNOTIFICATION notification)
{
    static const auto real = Resolve<RegisterNotificationFn>(L"cfgmgr32.dll", "CM_Register_Notification");
    if (real == nullptr)
    {
        return CR_CALL_NOT_IMPLEMENTED;
    }
    return real(filter, context, callback, notification);
}

CONFIGRET WINAPI UnregisterNotification(HCMNOTIFICATION notification)
{
    static const auto real = Resolve<UnregisterNotificationFn>(L"cfgmgr32.dll", "CM_Unregister_Notification");
    if (real == nullptr)
    {
        return CR_CALL_NOT_IMPLEMENTED;
    }
    return real(notification);
}

BOOL WINAPI InstallDriver(HWND parent, LPCWSTR infPath, DWORD flags, PBOOL needReboot)
{
    static const auto real = Resolve<InstallDriverFn>(L"newdev.dll", "DiInstallDriverW");
    if (real == nullptr)
    {
        ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return real(parent, infPath, flags, needReboot);
}

BOOL WINAPI InstallDevice(HWND parent, HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W driverInfo,
                          DWORD flags, PBOOL needReboot)
{
    static const auto real = Resolve<InstallDeviceFn>(L"newdev.dll", "DiInstallDevice");
    if (real == nullptr)
    {
        ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return real(parent, set, device, driverInfo, flags, needReboot);
}

} // namespace

DeviceApi& Devices()
{
    // Designated initialisers: an entry added to the table without its initialiser fails the build.
    static DeviceApi api{
        .CM_Register_Notification = &RegisterNotification,
        .CM_Unregister_Notification = &UnregisterNotification,
        .CM_Get_Device_Interface_List_SizeW = &::CM_Get_Device_Interface_List_SizeW,
        .CM_Get_Device_Interface_ListW = &::CM_Get_Device_Interface_ListW,
        .CreateFileW = &::CreateFileW,
        .SetupDiGetClassDevsW = &::SetupDiGetClassDevsW,
        .SetupDiEnumDeviceInfo = &::SetupDiEnumDeviceInfo,
        .SetupDiGetDevicePropertyW = &::SetupDiGetDevicePropertyW,
        .SetupDiGetDeviceInstanceIdW = &::SetupDiGetDeviceInstanceIdW,
        .SetupDiDestroyDeviceInfoList = &::SetupDiDestroyDeviceInfoList,
        .CoCreateInstance = &::CoCreateInstance,
        .DiInstallDriverW = &InstallDriver,
        .UpdateDriverForPlugAndPlayDevicesW = &::UpdateDriverForPlugAndPlayDevicesW,
        .SetupDiGetINFClassW = &::SetupDiGetINFClassW,
        .SetupDiCreateDeviceInfoList = &::SetupDiCreateDeviceInfoList,
        .SetupDiCreateDeviceInfoW = &::SetupDiCreateDeviceInfoW,
        .SetupDiSetDeviceRegistryPropertyW = &::SetupDiSetDeviceRegistryPropertyW,
        .SetupDiGetDeviceRegistryPropertyW = &::SetupDiGetDeviceRegistryPropertyW,
        .SetupDiCallClassInstaller = &::SetupDiCallClassInstaller,
        .DiInstallDevice = &InstallDevice,
        .SetupDiGetDeviceInfoListDetailW = &::SetupDiGetDeviceInfoListDetailW,
        .SetupDiSetClassInstallParamsW = &::SetupDiSetClassInstallParamsW,
        .SetupDiGetDeviceInstallParamsW = &::SetupDiGetDeviceInstallParamsW,
        .SetupPromptReboot = &::SetupPromptReboot,
    };
    return api;
}

} // namespace driver
