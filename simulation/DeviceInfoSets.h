#pragma once
// The simulation's own device information sets (HDEVINFO): each handle is the address of a set kept
// here; a handle not made here is refused with ERROR_INVALID_HANDLE.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <setupapi.h>

namespace simulation
{

struct DeviceInfoElement
{
    std::wstring instanceId;
    GUID classGuid{};
    std::vector<std::wstring> hardwareIds;
    bool registered = false; // known to the store (DIF_REGISTERDEVICE done, or listed from it)
    DWORD installFlags = 0;  // SP_DEVINSTALL_PARAMS.Flags (DI_NEEDRESTART, DI_NEEDREBOOT)
    DI_FUNCTION classInstallFunction = 0;
    DWORD removeScope = 0;
};

struct DeviceInfoSet
{
    GUID classGuid{};
    bool hasClass = false;
    std::vector<DeviceInfoElement> elements;
};

class CDeviceInfoSets
{
public:
    static CDeviceInfoSets& Instance();

    HDEVINFO Add(DeviceInfoSet set);
    bool Destroy(HDEVINFO handle);

    // Runs `action` on the set (and the element the SP_DEVINFO_DATA names, when given) under the
    // lock; sets the last error and returns FALSE when the handle or the element is not valid.
    template <typename Action> BOOL WithSet(HDEVINFO handle, Action action)
    {
        std::lock_guard lock(m_mutex);
        DeviceInfoSet* set = Find(handle);
        if (!set)
        {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return action(*set);
    }
    // The element an SP_DEVINFO_DATA names in the set, or null (last error set).
    static DeviceInfoElement* Element(DeviceInfoSet& set, const SP_DEVINFO_DATA* device);
    static void Describe(const DeviceInfoSet& set, size_t index, SP_DEVINFO_DATA& device);
    // A copy of the element an SP_DEVINFO_DATA names in the set, or nothing (last error set).
    std::optional<DeviceInfoElement> CopyElement(HDEVINFO handle, const SP_DEVINFO_DATA* device)
    {
        std::optional<DeviceInfoElement> copy;
        WithSet(handle,
                [&](DeviceInfoSet& set) -> BOOL
                {
                    if (const DeviceInfoElement* element = Element(set, device))
                    {
                        copy = *element;
                    }
                    return copy.has_value();
                });
        return copy;
    }

private:
    DeviceInfoSet* Find(HDEVINFO handle);
    std::mutex m_mutex;
    std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>> m_sets;
};

} // namespace simulation
