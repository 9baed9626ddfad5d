#pragma once
// Owners of the device-facing handles, closed through the device table (driver::Devices()).
#include "driver/Devices.h"
#include "platform/UniqueHandle.h"

namespace driver
{

// A device information set from SetupDiGetClassDevsW or SetupDiCreateDeviceInfoList.
struct DeviceInfoSetTraits
{
    using Type = HDEVINFO;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { Devices().SetupDiDestroyDeviceInfoList(value); }
};
using UniqueDeviceInfoSet = platform::CUniqueAny<DeviceInfoSetTraits>;

// A configuration-manager notification registration. Closing waits for the registration's callbacks
// in progress, so it must never happen on a callback of the same registration.
struct NotificationTraits
{
    using Type = HCMNOTIFICATION;
    static constexpr Type Empty() noexcept { return nullptr; }
    static void Close(Type value) noexcept { Devices().CM_Unregister_Notification(value); }
};
using UniqueNotification = platform::CUniqueAny<NotificationTraits>;

} // namespace driver
