#include "FakeConfigManager.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace
{
CFakeConfigManager* g_current = nullptr;
} // namespace

CFakeConfigManager::CFakeConfigManager()
    : m_register(driver::Devices().CM_Register_Notification, &Register),
      m_unregister(driver::Devices().CM_Unregister_Notification, &Unregister),
      m_size(driver::Devices().CM_Get_Device_Interface_List_SizeW, &ListSize),
      m_listCall(driver::Devices().CM_Get_Device_Interface_ListW, &List)
{
    g_current = this;
}

CFakeConfigManager::~CFakeConfigManager()
{
    g_current = nullptr;
}

void CFakeConfigManager::SetInterfaces(const std::vector<std::wstring>& links)
{
    m_list.clear();
    for (const std::wstring& link : links)
    {
        m_list.insert(m_list.end(), link.begin(), link.end());
        m_list.push_back(L'\0');
    }
    m_list.push_back(L'\0');
}

std::size_t CFakeConfigManager::RegistrationCount() const
{
    std::lock_guard lock(m_mutex);
    return m_registrations.size();
}

std::size_t CFakeConfigManager::ActiveCount() const
{
    std::lock_guard lock(m_mutex);
    std::size_t active = 0;
    for (const auto& registration : m_registrations)
    {
        active += registration->active ? 1 : 0;
    }
    return active;
}

int CFakeConfigManager::UnregisterCalls() const
{
    std::lock_guard lock(m_mutex);
    return m_unregisterCalls;
}

CFakeConfigManager::Registration& CFakeConfigManager::At(std::size_t index)
{
    std::lock_guard lock(m_mutex);
    return *m_registrations.at(index);
}

CFakeConfigManager::Registration& CFakeConfigManager::Last()
{
    std::lock_guard lock(m_mutex);
    if (m_registrations.empty())
    {
        throw std::logic_error("no registration");
    }
    return *m_registrations.back();
}

DWORD CFakeConfigManager::Deliver(Registration& registration, CM_NOTIFY_ACTION action,
                                  const std::wstring& link)
{
    std::shared_lock delivery(registration.delivery);
    if (!registration.active)
    {
        return ERROR_SUCCESS;
    }
    return DeliverRaw(registration, action, link);
}

DWORD CFakeConfigManager::DeliverRaw(Registration& registration, CM_NOTIFY_ACTION action,
                                     const std::wstring& link)
{
    // The event data with the link appended in place of its one-character array.
    const std::size_t bytes = sizeof(CM_NOTIFY_EVENT_DATA) + (link.size() + 1) * sizeof(wchar_t);
    std::vector<std::uint64_t> storage((bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    auto* data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(storage.data());
    data->FilterType = registration.filter.FilterType;
    if (registration.filter.FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
    {
        data->u.DeviceInterface.ClassGuid = registration.filter.u.DeviceInterface.ClassGuid;
        std::memcpy(data->u.DeviceInterface.SymbolicLink, link.c_str(), (link.size() + 1) * sizeof(wchar_t));
    }
    return registration.callback(registration.handle, registration.context, action, data,
                                 static_cast<DWORD>(bytes));
}

CONFIGRET WINAPI CFakeConfigManager::Register(PCM_NOTIFY_FILTER filter, PVOID context,
                                              PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notification)
{
    CFakeConfigManager& self = *g_current;
    Registration* made = nullptr;
    std::function<void(Registration&)> hook;
    {
        std::lock_guard lock(self.m_mutex);
        if (self.registerResult != CR_SUCCESS)
        {
            return self.registerResult;
        }
        auto registration = std::make_unique<Registration>();
        registration->filter = *filter;
        registration->context = context;
        registration->callback = callback;
        registration->handle = reinterpret_cast<HCMNOTIFICATION>(self.m_registrations.size() + 1);
        *notification = registration->handle;
        made = registration.get();
        self.m_registrations.push_back(std::move(registration));
        hook = std::exchange(self.onRegistered, nullptr);
    }
    if (hook)
    {
        hook(*made);
    }
    return CR_SUCCESS;
}

CONFIGRET WINAPI CFakeConfigManager::Unregister(HCMNOTIFICATION notification)
{
    CFakeConfigManager& self = *g_current;
    Registration* registration = nullptr;
    std::function<void(Registration&)> hook;
    {
        std::lock_guard lock(self.m_mutex);
        ++self.m_unregisterCalls;
        const auto index = reinterpret_cast<std::uintptr_t>(notification);
        if (index == 0 || index > self.m_registrations.size())
        {
            return CR_INVALID_POINTER;
        }
        registration = self.m_registrations[index - 1].get();
        hook = std::exchange(self.onUnregistering, nullptr);
    }
    if (hook)
    {
        hook(*registration);
    }
    std::unique_lock delivery(registration->delivery);
    std::lock_guard lock(self.m_mutex);
    if (!registration->active)
    {
        return CR_INVALID_POINTER;
    }
    registration->active = false;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CFakeConfigManager::ListSize(PULONG length, LPGUID interfaceClass, DEVINSTID_W deviceId,
                                              ULONG flags)
{
    CFakeConfigManager& self = *g_current;
    ++self.sizeCalls;
    self.sizeClass = *interfaceClass;
    self.sizeFlags = flags;
    if (deviceId != nullptr)
    {
        return CR_INVALID_DEVICE_ID;
    }
    if (self.sizeResult != CR_SUCCESS)
    {
        SetLastError(self.sizeLastError);
        return self.sizeResult;
    }
    // Like the system: an empty list still has its terminating NUL, so its length is 1.
    *length = static_cast<ULONG>(self.m_list.size());
    if (self.afterSize)
    {
        std::function<void()> change = std::move(self.afterSize);
        self.afterSize = nullptr;
        change();
    }
    return CR_SUCCESS;
}

CONFIGRET WINAPI CFakeConfigManager::List(LPGUID, DEVINSTID_W deviceId, PWCHAR buffer, ULONG length,
                                          ULONG flags)
{
    CFakeConfigManager& self = *g_current;
    ++self.listCalls;
    self.listFlags = flags;
    self.listLength = length;
    if (deviceId != nullptr)
    {
        return CR_INVALID_DEVICE_ID;
    }
    if (self.listResult != CR_SUCCESS)
    {
        SetLastError(self.listLastError);
        return self.listResult;
    }
    if (length < self.m_list.size())
    {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(buffer, self.m_list.data(), self.m_list.size() * sizeof(wchar_t));
    return CR_SUCCESS;
}
