// Device tree and device information sets over the shared store, with the system's results.
#include "simulation/DeviceControl.h"
#include "simulation/DeviceInfoSets.h"
#include "simulation/DeviceNames.h"
#include "simulation/InstallBehaviour.h"
#include "simulation/SimulatedServices.h"
#include "simulation/WorldStore.h"
#include "driver/InterfaceClass.h"

#include <cstring>

#include <algorithm>

#include <objbase.h>

namespace simulation::services
{

namespace
{

using driver::kInterfaceClass;
const DEVPROPKEY kDeviceChildren = {
    {0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}}, 9};
const DEVPROPKEY kDeviceInstanceId = {
    {0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}}, 256};
const DEVPROPKEY kDeviceHardwareIds = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 3};

bool SameKey(const DEVPROPKEY& a, const DEVPROPKEY& b)
{
    return IsEqualGUID(a.fmtid, b.fmtid) && a.pid == b.pid;
}

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

GUID GuidFromText(const std::wstring& text)
{
    GUID guid{};
    ::CLSIDFromString(text.c_str(), &guid);
    return guid;
}

std::wstring GuidText(const GUID& guid)
{
    wchar_t text[64];
    ::StringFromGUID2(guid, text, 64);
    return ToLower(text);
}

std::vector<std::wstring> ParseMultiString(const wchar_t* p, size_t count)
{
    std::vector<std::wstring> out;
    size_t i = 0;
    while (i < count && p[i] != L'\0')
    {
        size_t end = i;
        while (end < count && p[end] != L'\0')
        {
            ++end;
        }
        out.emplace_back(p + i, end - i);
        i = end + 1;
    }
    return out;
}

// Copies a property value out: required size always, ERROR_INSUFFICIENT_BUFFER when it does not fit.
BOOL ReturnProperty(DEVPROPTYPE valueType, const std::wstring& value, DEVPROPTYPE* type, PBYTE buffer,
                    DWORD size, PDWORD required)
{
    const DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    *type = valueType;
    if (required)
    {
        *required = bytes;
    }
    if (size < bytes)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy_n(reinterpret_cast<const BYTE*>(value.data()), bytes, buffer);
    return TRUE;
}

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND, DWORD flags)
{
    if (Failed(L"SetupDiGetClassDevsW"))
    {
        return INVALID_HANDLE_VALUE;
    }
    const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
    if (!classGuid && !allClasses)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DeviceInfoSet set;
    if (classGuid && !(flags & DIGCF_DEVICEINTERFACE))
    {
        set.classGuid = *classGuid;
        set.hasClass = true;
    }
    const std::wstring filter = enumerator ? enumerator : L"";
    for (const auto& device : store::Devices())
    {
        if (device.state == DeviceState::Removed)
        {
            continue;
        }
        if (flags & DIGCF_DEVICEINTERFACE)
        {
            // Only started devices expose the interface.
            if (!InterfacePresent(device.state) || (!allClasses && !IsEqualGUID(*classGuid, kInterfaceClass)))
            {
                continue;
            }
            if (!filter.empty() && !EqualNoCase(filter, device.instanceId))
            {
                continue;
            }
        }
        else
        {
            if (!allClasses && !IsEqualGUID(*classGuid, GuidFromText(device.setupClass)))
            {
                continue;
            }
            if ((flags & DIGCF_PRESENT) && device.state != DeviceState::Started)
            {
                continue;
            }
            if (!filter.empty() && !EqualNoCase(filter, device.instanceId) &&
                !EqualNoCase(filter + L"\\", device.instanceId.substr(0, filter.size() + 1)))
            {
                continue;
            }
        }
        DeviceInfoElement element;
        element.instanceId = device.instanceId;
        element.classGuid = GuidFromText(device.setupClass);
        element.hardwareIds = device.hardwareIds;
        element.registered = true;
        set.elements.push_back(std::move(element));
    }
    return CDeviceInfoSets::Instance().Add(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA device)
{
    return CDeviceInfoSets::Instance().WithSet(handle,
                                               [&](DeviceInfoSet& set) -> BOOL
                                               {
                                                   if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA))
                                                   {
                                                       ::SetLastError(ERROR_INVALID_USER_BUFFER);
                                                       return FALSE;
                                                   }
                                                   if (index >= set.elements.size())
                                                   {
                                                       ::SetLastError(ERROR_NO_MORE_ITEMS);
                                                       return FALSE;
                                                   }
                                                   CDeviceInfoSets::Describe(set, index, *device);
                                                   return TRUE;
                                               });
}

BOOL WINAPI SetupDiGetDevicePropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, const DEVPROPKEY* key,
                                      DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD required,
                                      DWORD flags)
{
    std::wstring instanceId;
    const BOOL valid = CDeviceInfoSets::Instance().WithSet(handle,
                                                           [&](DeviceInfoSet& set) -> BOOL
                                                           {
                                                               const DeviceInfoElement* element =
                                                                   CDeviceInfoSets::Element(set, device);
                                                               if (!element)
                                                               {
                                                                   return FALSE;
                                                               }
                                                               instanceId = element->instanceId;
                                                               return TRUE;
                                                           });
    if (!valid)
    {
        return FALSE;
    }
    if (flags != 0)
    {
        ::SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    if (!key || !type || (!buffer && size != 0))
    {
        ::SetLastError(!key ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (Failed(L"SetupDiGetDevicePropertyW"))
    {
        return FALSE;
    }
    const auto record = store::Find(instanceId);
    if (!record || record->state == DeviceState::Removed)
    {
        ::SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (SameKey(*key, kDeviceChildren) && record->state == DeviceState::Started &&
        store::EndpointsDueInMs(*record) == 0)
    {
        // In upper case, while the endpoints name themselves in lower case: only letter case aside
        // do the two agree.
        std::wstring list = ToUpper(EndpointChildId(record->captureEndpoint)) + L'\0' +
                            ToUpper(EndpointChildId(record->renderEndpoint));
        list += L'\0';
        list += L'\0';
        return ReturnProperty(DEVPROP_TYPE_STRING_LIST, list, type, buffer, size, required);
    }
    if (SameKey(*key, kDeviceInstanceId))
    {
        return ReturnProperty(DEVPROP_TYPE_STRING, record->instanceId + L'\0', type, buffer, size, required);
    }
    if (SameKey(*key, kDeviceHardwareIds) && !record->hardwareIds.empty())
    {
        std::wstring list;
        for (const auto& id : record->hardwareIds)
        {
            list += id + L'\0';
        }
        list += L'\0';
        return ReturnProperty(DEVPROP_TYPE_STRING_LIST, list, type, buffer, size, required);
    }
    *type = DEVPROP_TYPE_EMPTY;
    if (required)
    {
        *required = 0;
    }
    ::SetLastError(ERROR_NOT_FOUND);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO handle, PSP_DEVINFO_DATA device, PWSTR id, DWORD size,
                                        PDWORD required)
{
    if (Failed(L"SetupDiGetDeviceInstanceIdW"))
    {
        return FALSE;
    }
    return CDeviceInfoSets::Instance().WithSet(
        handle,
        [&](DeviceInfoSet& set) -> BOOL
        {
            const DeviceInfoElement* element = CDeviceInfoSets::Element(set, device);
            if (!element)
            {
                return FALSE;
            }
            const DWORD needed = static_cast<DWORD>(element->instanceId.size() + 1);
            if (required)
            {
                *required = needed;
            }
            if (!id && size != 0)
            {
                ::SetLastError(ERROR_INVALID_USER_BUFFER);
                return FALSE;
            }
            if (size < needed)
            {
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::copy(element->instanceId.begin(), element->instanceId.end(), id);
            id[needed - 1] = L'\0';
            return TRUE;
        });
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    if (!CDeviceInfoSets::Instance().Destroy(handle))
    {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetINFClassW(PCWSTR infName, LPGUID classGuid, PWSTR className, DWORD size,
                                PDWORD required)
{
    if (!infName || !classGuid)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Failed(L"SetupDiGetINFClassW"))
    {
        return FALSE;
    }
    if (::GetFileAttributesW(infName) == INVALID_FILE_ATTRIBUTES)
    {
        return FALSE; // the last error of the lookup (file or path not found)
    }
    wchar_t name[64] = {};
    wchar_t guid[64] = {};
    ::GetPrivateProfileStringW(L"Version", L"Class", L"", name, 64, infName);
    ::GetPrivateProfileStringW(L"Version", L"ClassGuid", L"", guid, 64, infName);
    if (name[0] == L'\0' || FAILED(::CLSIDFromString(guid, classGuid)))
    {
        ::SetLastError(ERROR_INVALID_CLASS);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(wcslen(name) + 1);
    if (required)
    {
        *required = needed;
    }
    if (!className || size < needed)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wcscpy_s(className, size, name);
    return TRUE;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND)
{
    if (Failed(L"SetupDiCreateDeviceInfoList"))
    {
        return INVALID_HANDLE_VALUE;
    }
    DeviceInfoSet set;
    if (classGuid)
    {
        set.classGuid = *classGuid;
        set.hasClass = true;
    }
    return CDeviceInfoSets::Instance().Add(std::move(set));
}

BOOL WINAPI SetupDiCreateDeviceInfoW(HDEVINFO handle, PCWSTR name, const GUID* classGuid, PCWSTR, HWND,
                                     DWORD flags, PSP_DEVINFO_DATA device)
{
    return CDeviceInfoSets::Instance().WithSet(
        handle,
        [&](DeviceInfoSet& set) -> BOOL
        {
            if (!name || !*name || !classGuid)
            {
                ::SetLastError(!classGuid ? ERROR_INVALID_PARAMETER : ERROR_INVALID_DEVINST_NAME);
                return FALSE;
            }
            // Only generated ids: the device world creates root-enumerated devices.
            if (!(flags & DICD_GENERATE_ID) || wcschr(name, L'\\'))
            {
                ::SetLastError(ERROR_INVALID_DEVINST_NAME);
                return FALSE;
            }
            if (set.hasClass && !IsEqualGUID(set.classGuid, *classGuid))
            {
                ::SetLastError(ERROR_CLASS_MISMATCH);
                return FALSE;
            }
            if (device && device->cbSize != sizeof(SP_DEVINFO_DATA))
            {
                ::SetLastError(ERROR_INVALID_USER_BUFFER);
                return FALSE;
            }
            if (Failed(L"SetupDiCreateDeviceInfoW"))
            {
                return FALSE;
            }
            DeviceInfoElement element;
            element.instanceId = store::ReserveInstanceId(name);
            element.classGuid = *classGuid;
            set.elements.push_back(std::move(element));
            if (device)
            {
                CDeviceInfoSets::Describe(set, set.elements.size() - 1, *device);
            }
            return TRUE;
        });
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD property,
                                              const BYTE* buffer, DWORD size)
{
    return CDeviceInfoSets::Instance().WithSet(
        handle,
        [&](DeviceInfoSet& set) -> BOOL
        {
            DeviceInfoElement* element = CDeviceInfoSets::Element(set, device);
            if (!element)
            {
                return FALSE;
            }
            if (!buffer && size != 0)
            {
                ::SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            if (Failed(L"SetupDiSetDeviceRegistryPropertyW"))
            {
                return FALSE;
            }
            if (property == SPDRP_HARDWAREID)
            {
                element->hardwareIds =
                    ParseMultiString(reinterpret_cast<const wchar_t*>(buffer), size / sizeof(wchar_t));
                if (element->registered)
                {
                    store::SetHardwareIds(element->instanceId, element->hardwareIds);
                }
            }
            return TRUE;
        });
}

// Only the hardware ids are kept; every other property is missing (ERROR_INVALID_DATA, as for a
// property a device does not have).
BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD property,
                                              PDWORD type, PBYTE buffer, DWORD size, PDWORD required)
{
    return CDeviceInfoSets::Instance().WithSet(
        handle,
        [&](DeviceInfoSet& set) -> BOOL
        {
            const DeviceInfoElement* element = CDeviceInfoSets::Element(set, device);
            if (!element)
            {
                return FALSE;
            }
            if (property != SPDRP_HARDWAREID || element->hardwareIds.empty())
            {
                ::SetLastError(ERROR_INVALID_DATA);
                return FALSE;
            }
            std::wstring list;
            for (const std::wstring& id : element->hardwareIds)
            {
                list += id;
                list += L'\0';
            }
            list += L'\0';
            const DWORD bytes = static_cast<DWORD>(list.size() * sizeof(wchar_t));
            if (type)
            {
                *type = REG_MULTI_SZ;
            }
            if (required)
            {
                *required = bytes;
            }
            if (!buffer || size < bytes)
            {
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return FALSE;
            }
            std::memcpy(buffer, list.data(), bytes);
            return TRUE;
        });
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA device)
{
    const std::optional<DeviceInfoElement> element = CDeviceInfoSets::Instance().CopyElement(handle, device);
    if (!element)
    {
        return FALSE;
    }
    const DeviceInfoElement& copy = *element;

    auto update = [&](auto change)
    {
        CDeviceInfoSets::Instance().WithSet(handle,
                                            [&](DeviceInfoSet& set) -> BOOL
                                            {
                                                if (DeviceInfoElement* element =
                                                        CDeviceInfoSets::Element(set, device))
                                                {
                                                    change(*element);
                                                }
                                                return TRUE;
                                            });
    };

    if (function == DIF_REGISTERDEVICE)
    {
        if (copy.registered)
        {
            ::SetLastError(ERROR_DEVINST_ALREADY_EXISTS);
            return FALSE;
        }
        if (Failed(L"DIF_REGISTERDEVICE"))
        {
            return FALSE;
        }
        if (!store::RegisterDevice(copy.instanceId, copy.hardwareIds, GuidText(copy.classGuid)))
        {
            ::SetLastError(ERROR_DEVINST_ALREADY_EXISTS);
            return FALSE;
        }
        store::Bump();
        update([](DeviceInfoElement& element) { element.registered = true; });
        return TRUE;
    }
    if (function == DIF_REMOVE)
    {
        if (Failed(L"DIF_REMOVE"))
        {
            return FALSE;
        }
        // The removal's scope comes from the class-install parameters (SP_REMOVEDEVICE_PARAMS set with
        // SetupDiSetClassInstallParamsW); without them the request is not valid.
        if (copy.classInstallFunction != DIF_REMOVE || copy.removeScope != DI_REMOVEDEVICE_GLOBAL)
        {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto record = store::Find(copy.instanceId);
        if (!record || record->state == DeviceState::Removed)
        {
            ::SetLastError(ERROR_NO_SUCH_DEVINST);
            return FALSE;
        }
        DWORD flags = 0;
        if (record->state == DeviceState::Registered)
        {
            store::SetState(record->instanceId, DeviceState::Removed);
            store::Bump();
        }
        else
        {
            const RemovalOutcome outcome = RequestRemoval(record->instanceId, RemovalKind::Orderly);
            if (outcome == RemovalOutcome::NotFound)
            {
                ::SetLastError(ERROR_NO_SUCH_DEVINST);
                return FALSE;
            }
            // A device in use that refuses to go is removed at the next reboot, as the system does.
            if (outcome != RemovalOutcome::Removed)
            {
                flags |= DI_NEEDREBOOT;
            }
        }
        if (InstallReboot(L"DIF_REMOVE"))
        {
            flags |= DI_NEEDRESTART;
        }
        update([&](DeviceInfoElement& element) { element.installFlags |= flags; });
        return TRUE;
    }
    // No class installer of ours handles anything else: the caller's default action applies.
    ::SetLastError(ERROR_DI_DO_DEFAULT);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInfoListDetailW(HDEVINFO handle, PSP_DEVINFO_LIST_DETAIL_DATA_W detail)
{
    return CDeviceInfoSets::Instance().WithSet(handle,
                                               [&](DeviceInfoSet& set) -> BOOL
                                               {
                                                   if (!detail || detail->cbSize !=
                                                                      sizeof(SP_DEVINFO_LIST_DETAIL_DATA_W))
                                                   {
                                                       ::SetLastError(ERROR_INVALID_USER_BUFFER);
                                                       return FALSE;
                                                   }
                                                   if (Failed(L"SetupDiGetDeviceInfoListDetailW"))
                                                   {
                                                       return FALSE;
                                                   }
                                                   detail->ClassGuid = set.hasClass ? set.classGuid : GUID{};
                                                   detail->RemoteMachineHandle = nullptr;
                                                   detail->RemoteMachineName[0] = L'\0';
                                                   return TRUE;
                                               });
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                          PSP_CLASSINSTALL_HEADER params, DWORD size)
{
    return CDeviceInfoSets::Instance().WithSet(
        handle,
        [&](DeviceInfoSet& set) -> BOOL
        {
            DeviceInfoElement* element = CDeviceInfoSets::Element(set, device);
            if (!element)
            {
                return FALSE;
            }
            if (Failed(L"SetupDiSetClassInstallParamsW"))
            {
                return FALSE;
            }
            if (!params)
            {
                element->classInstallFunction = 0;
                return TRUE;
            }
            if (size < sizeof(SP_CLASSINSTALL_HEADER) || params->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
            {
                ::SetLastError(ERROR_INVALID_USER_BUFFER);
                return FALSE;
            }
            if (params->InstallFunction == DIF_REMOVE)
            {
                if (size != sizeof(SP_REMOVEDEVICE_PARAMS))
                {
                    ::SetLastError(ERROR_INVALID_PARAMETER);
                    return FALSE;
                }
                element->removeScope = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS*>(params)->Scope;
            }
            element->classInstallFunction = params->InstallFunction;
            return TRUE;
        });
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                           PSP_DEVINSTALL_PARAMS_W params)
{
    return CDeviceInfoSets::Instance().WithSet(
        handle,
        [&](DeviceInfoSet& set) -> BOOL
        {
            if (!params || params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W))
            {
                ::SetLastError(ERROR_INVALID_USER_BUFFER);
                return FALSE;
            }
            DWORD flags = 0;
            if (device)
            {
                const DeviceInfoElement* element = CDeviceInfoSets::Element(set, device);
                if (!element)
                {
                    return FALSE;
                }
                flags = element->installFlags;
            }
            *params = SP_DEVINSTALL_PARAMS_W{};
            params->cbSize = sizeof(SP_DEVINSTALL_PARAMS_W);
            params->Flags = flags;
            return TRUE;
        });
}

} // namespace simulation::services
