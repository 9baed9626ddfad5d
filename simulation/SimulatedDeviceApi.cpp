// driver::Devices() for the programs and tests that run in the simulated device world.
#include "simulation/SimulatedServices.h"

namespace driver
{

DeviceApi& Devices()
{
    namespace s = simulation::services;
    static DeviceApi api{
        .CM_Register_Notification = &s::CM_Register_Notification,
        .CM_Unregister_Notification = &s::CM_Unregister_Notification,
        .CM_Get_Device_Interface_List_SizeW = &s::CM_Get_Device_Interface_List_SizeW,
        .CM_Get_Device_Interface_ListW = &s::CM_Get_Device_Interface_ListW,
        .CreateFileW = &s::CreateFileW,
        .SetupDiGetClassDevsW = &s::SetupDiGetClassDevsW,
        .SetupDiEnumDeviceInfo = &s::SetupDiEnumDeviceInfo,
        .SetupDiGetDevicePropertyW = &s::SetupDiGetDevicePropertyW,
        .SetupDiGetDeviceInstanceIdW = &s::SetupDiGetDeviceInstanceIdW,
        .SetupDiDestroyDeviceInfoList = &s::SetupDiDestroyDeviceInfoList,
        .CoCreateInstance = &s::CoCreateInstance,
        .DiInstallDriverW = &s::DiInstallDriverW,
        .UpdateDriverForPlugAndPlayDevicesW = &s::UpdateDriverForPlugAndPlayDevicesW,
        .SetupDiGetINFClassW = &s::SetupDiGetINFClassW,
        .SetupDiCreateDeviceInfoList = &s::SetupDiCreateDeviceInfoList,
        .SetupDiCreateDeviceInfoW = &s::SetupDiCreateDeviceInfoW,
        .SetupDiSetDeviceRegistryPropertyW = &s::SetupDiSetDeviceRegistryPropertyW,
        .SetupDiGetDeviceRegistryPropertyW = &s::SetupDiGetDeviceRegistryPropertyW,
        .SetupDiCallClassInstaller = &s::SetupDiCallClassInstaller,
        .DiInstallDevice = &s::DiInstallDevice,
        .SetupDiGetDeviceInfoListDetailW = &s::SetupDiGetDeviceInfoListDetailW,
        .SetupDiSetClassInstallParamsW = &s::SetupDiSetClassInstallParamsW,
        .SetupDiGetDeviceInstallParamsW = &s::SetupDiGetDeviceInstallParamsW,
        .SetupPromptReboot = &s::SetupPromptReboot,
    };
    return api;
}

} // namespace driver
