#pragma once
// The device-facing system services: the configuration manager's notifications and interface lists,
// the driver's control channel, the device tree, the audio endpoint store and device installation.
// One table of function pointers with the real functions' signatures. Which table a program gets is
// decided when it is linked: orvane.exe links the Windows table (driver/DeviceApiWindows.cpp,
// target orvane_device_windows); orvane-sim.exe and the tests link the simulated device world
// (target orvane_device_simulated). Everything else (overlapped I/O, CancelIoEx, events, registry)
// is reached through platform::Api() in both.
#include <winsock2.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>
#include <newdev.h>
#include <objbase.h>

// setupapi.h defines LogSeverity as a macro, which would rename velmar::LogSeverity.
#ifdef LogSeverity
#undef LogSeverity
#endif

namespace driver
{

struct DeviceApi
{
    // Configuration manager: interface arrival/removal and device-handle notifications, present interfaces
    CONFIGRET(WINAPI* CM_Register_Notification)
    (PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notification);
    CONFIGRET(WINAPI* CM_Unregister_Notification)(HCMNOTIFICATION notification);
    decltype(&::CM_Get_Device_Interface_List_SizeW) CM_Get_Device_Interface_List_SizeW;
    decltype(&::CM_Get_Device_Interface_ListW) CM_Get_Device_Interface_ListW;

    // The driver's control channel: "<interface link>\Control"
    decltype(&::CreateFileW) CreateFileW;

    // Device tree
    decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
    decltype(&::SetupDiEnumDeviceInfo) SetupDiEnumDeviceInfo;
    decltype(&::SetupDiGetDevicePropertyW) SetupDiGetDevicePropertyW;
    decltype(&::SetupDiGetDeviceInstanceIdW) SetupDiGetDeviceInstanceIdW;
    decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;

    // Audio endpoint store: creation of the multimedia device enumerator (CLSID_MMDeviceEnumerator)
    decltype(&::CoCreateInstance) CoCreateInstance;

    // Installation: driver package, device creation and removal, reboot prompt
    BOOL(WINAPI* DiInstallDriverW)(HWND parent, LPCWSTR infPath, DWORD flags, PBOOL needReboot);
    decltype(&::UpdateDriverForPlugAndPlayDevicesW) UpdateDriverForPlugAndPlayDevicesW;
    decltype(&::SetupDiGetINFClassW) SetupDiGetINFClassW;
    decltype(&::SetupDiCreateDeviceInfoList) SetupDiCreateDeviceInfoList;
    decltype(&::SetupDiCreateDeviceInfoW) SetupDiCreateDeviceInfoW;
    decltype(&::SetupDiSetDeviceRegistryPropertyW) SetupDiSetDeviceRegistryPropertyW;
    decltype(&::SetupDiGetDeviceRegistryPropertyW) SetupDiGetDeviceRegistryPropertyW;
    decltype(&::SetupDiCallClassInstaller) SetupDiCallClassInstaller;
    BOOL(WINAPI* DiInstallDevice)
    (HWND parent, HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W driverInfo, DWORD flags,
     PBOOL needReboot);
    decltype(&::SetupDiGetDeviceInfoListDetailW) SetupDiGetDeviceInfoListDetailW;
    decltype(&::SetupDiSetClassInstallParamsW) SetupDiSetClassInstallParamsW;
    decltype(&::SetupDiGetDeviceInstallParamsW) SetupDiGetDeviceInstallParamsW;
    decltype(&::SetupPromptReboot) SetupPromptReboot;
};

// The table this program was linked with.
DeviceApi& Devices();

} // namespace driver
