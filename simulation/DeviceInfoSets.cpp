#include "simulation/DeviceInfoSets.h"

namespace simulation
{

CDeviceInfoSets& CDeviceInfoSets::Instance()
{
    static CDeviceInfoSets sets;
    return sets;
}

HDEVINFO CDeviceInfoSets::Add(DeviceInfoSet set)
{
    std::lock_guard lock(m_mutex);
    auto owned = std::make_unique<DeviceInfoSet>(std::move(set));
    const HDEVINFO handle = owned.get();
    m_sets.emplace(handle, std::move(owned));
    return handle;
}

bool CDeviceInfoSets::Destroy(HDEVINFO handle)
{
    std::lock_guard lock(m_mutex);
    return m_sets.erase(handle) == 1;
}

DeviceInfoSet* CDeviceInfoSets::Find(HDEVINFO handle)
{
    const auto it = m_sets.find(handle);
    return it == m_sets.end() ? nullptr : it->second.get();
}

DeviceInfoElement* CDeviceInfoSets::Element(DeviceInfoSet& set, const SP_DEVINFO_DATA* device)
{
    if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA))
    {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    // Reserved carries the element's position + 1, as given out by Describe.
    const ULONG_PTR position = device->Reserved;
    if (position == 0 || position > set.elements.size())
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set.elements[position - 1];
}

void CDeviceInfoSets::Describe(const DeviceInfoSet& set, size_t index, SP_DEVINFO_DATA& device)
{
    device.ClassGuid = set.elements[index].classGuid;
    device.DevInst = static_cast<DWORD>(index + 1);
    device.Reserved = static_cast<ULONG_PTR>(index + 1);
}

} // namespace simulation
