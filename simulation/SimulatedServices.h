#pragma once
// The simulated device-facing services, with the signatures of the real ones. The table of
// driver::Devices() (SimulatedDeviceApi.cpp) points at these.
#include "driver/DeviceApi.h"

namespace simulation::services
{

// Configuration manager (SimulatedConfigManager.cpp)
CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                          PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notification);
CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION notification);
CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interfaceClass,
                                                    DEVINSTID_W deviceId, ULONG flags);
CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID interfaceClass, DEVINSTID_W deviceId, PZZWSTR buffer,
                                               ULONG length, ULONG flags);

// The control channel (SimulatedControlFile.cpp)
HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);

// Device tree and device sets (SimulatedSetupApi.cpp)
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device);
BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                      DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required,
                                      DWORD flags);
BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD size,
                                        PDWORD required);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);
BOOL WINAPI SetupDiGetINFClassW(PCWSTR infName, LPGUID classGuid, PWSTR className, DWORD size,
                                PDWORD required);
HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent);
BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO set, PCWSTR name, const GUID* classGuid, PCWSTR description,
                                     HWND parent, DWORD flags, PSP_DEVINFO_DATA device);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                              const BYTE* buffer, DWORD size);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                              PDWORD type, PBYTE buffer, DWORD size, PDWORD required);
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device);
BOOL WINAPI SetupDiGetDeviceInfoListDetailW(HDEVINFO set, PSP_DEVINFO_LIST_DETAIL_DATA_W detail);
BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA device,
                                          PSP_CLASSINSTALL_HEADER params, DWORD size);
BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA device,
                                           PSP_DEVINSTALL_PARAMS_W params);

// Installation (SimulatedInstaller.cpp)
BOOL WINAPI DiInstallDriverW(HWND parent, LPCWSTR infPath, DWORD flags, PBOOL needReboot);
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR infPath, DWORD flags,
                                               PBOOL needReboot);
BOOL WINAPI DiInstallDevice(HWND parent, HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W driverInfo,
                            DWORD flags, PBOOL needReboot);
INT WINAPI SetupPromptReboot(HSPFILEQ fileQueue, HWND owner, BOOL scanOnly);

// The endpoint store (EndpointStore.cpp): CLSID_MMDeviceEnumerator, everything else goes to COM.
HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object);

} // namespace simulation::services
