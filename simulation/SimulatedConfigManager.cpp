// Configuration manager: notifications through the process's notification hub, interface lists from
// the shared store.
#include "simulation/DeviceNames.h"
#include "simulation/NotificationHub.h"
#include "simulation/SimulatedServices.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include "driver/InterfaceClass.h"
#include "platform/Boundary.h"

#include <algorithm>

namespace simulation::services
{

namespace
{

using driver::kInterfaceClass;

// The double-NUL list of present interfaces of the class, or an error.
CONFIGRET ReadInterfaceList(const GUID* interfaceClass, const wchar_t* deviceId, ULONG flags,
                            std::wstring& list)
{
    if (!interfaceClass)
    {
        return CR_INVALID_POINTER;
    }
    if (flags & ~CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES)
    {
        return CR_INVALID_FLAG;
    }
    list.clear();
    const auto devices = store::Devices();
    if (deviceId && *deviceId)
    {
        const auto device = std::find_if(devices.begin(), devices.end(),
                                         [&](const auto& candidate) {
                                             return EqualNoCase(candidate.instanceId, deviceId) &&
                                                    candidate.state != DeviceState::Removed;
                                         });
        if (device == devices.end())
        {
            return CR_NO_SUCH_DEVNODE;
        }
    }
    if (IsEqualGUID(*interfaceClass, kInterfaceClass))
    {
        const auto linkCase = static_cast<LinkCase>(store::RootValue(values::kLinkCase));
        for (const auto& device : devices)
        {
            if (!InterfacePresent(device.state))
            {
                continue;
            }
            if (deviceId && *deviceId && !EqualNoCase(device.instanceId, deviceId))
            {
                continue;
            }
            list += ListedLink(device.instanceId, linkCase);
            list += L'\0';
        }
    }
    // An empty list is one NUL, a list of n links ends with an extra NUL.
    list += L'\0';
    return CR_SUCCESS;
}

// The store may fail (its lock, the registry): the caller sees a failed call, never an exception.
CONFIGRET InterfaceList(const GUID* interfaceClass, const wchar_t* deviceId, ULONG flags, std::wstring& list)
{
    CONFIGRET result = CR_FAILURE;
    platform::CatchAtBoundary([&] { result = ReadInterfaceList(interfaceClass, deviceId, flags, list); });
    return result;
}

} // namespace

CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                          PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notification)
{
    CONFIGRET result = CR_FAILURE;
    platform::CatchAtBoundary(
        [&] { result = CNotificationHub::Instance().Register(filter, context, callback, notification); });
    return result;
}

CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION notification)
{
    CONFIGRET result = CR_FAILURE;
    platform::CatchAtBoundary([&] { result = CNotificationHub::Instance().Unregister(notification); });
    return result;
}

CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeW(PULONG length, LPGUID interfaceClass,
                                                    DEVINSTID_W deviceId, ULONG flags)
{
    if (!length)
    {
        return CR_INVALID_POINTER;
    }
    *length = 0;
    std::wstring list;
    const CONFIGRET result = InterfaceList(interfaceClass, deviceId, flags, list);
    if (result == CR_SUCCESS)
    {
        *length = static_cast<ULONG>(list.size());
    }
    return result;
}

CONFIGRET WINAPI CM_Get_Device_Interface_ListW(LPGUID interfaceClass, DEVINSTID_W deviceId, PZZWSTR buffer,
                                               ULONG length, ULONG flags)
{
    if (!buffer || length == 0)
    {
        return CR_INVALID_POINTER;
    }
    std::wstring list;
    const CONFIGRET result = InterfaceList(interfaceClass, deviceId, flags, list);
    if (result != CR_SUCCESS)
    {
        return result;
    }
    if (list.size() > length)
    {
        buffer[0] = L'\0';
        return CR_BUFFER_SMALL;
    }
    std::copy(list.begin(), list.end(), buffer);
    return CR_SUCCESS;
}

} // namespace simulation::services
