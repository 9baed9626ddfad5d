#include "simulation/NotificationHub.h"

#include "simulation/DeviceNames.h"
#include "simulation/WorldStore.h"

#include <algorithm>

namespace simulation
{

namespace
{

const GUID kInterfaceClass = {0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};

std::set<std::wstring> PresentLinks(const std::vector<DeviceRecord>& devices)
{
    std::set<std::wstring> links;
    for (const auto& d : devices)
    {
        if (d.state == DeviceState::Started)
            links.insert(LinkForInstance(d.instanceId));
    }
    return links;
}

} // namespace

CNotificationHub& CNotificationHub::Instance()
{
    static CNotificationHub hub;
    return hub;
}

CNotificationHub::CNotificationHub()
{
    m_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CNotificationHub::~CNotificationHub()
{
    ::SetEvent(m_stop);
    if (m_thread.joinable())
        m_thread.join();
    ::CloseHandle(m_wake);
    ::CloseHandle(m_stop);
}

void CNotificationHub::EnsureThread()
{
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this] { Run(); });
}

CONFIGRET CNotificationHub::Register(const CM_NOTIFY_FILTER* filter, PVOID context,
                                     PCM_NOTIFY_CALLBACK callback, HCMNOTIFICATION* notification)
{
    if (!filter || !callback || !notification)
        return CR_INVALID_POINTER;
    if (filter->cbSize != sizeof(CM_NOTIFY_FILTER))
        return CR_INVALID_STRUCTURE_SIZE;
    auto reg = std::make_shared<Registration>();
    reg->type = filter->FilterType;
    reg->callback = callback;
    reg->context = context;
    const auto devices = store::Devices();
    switch (filter->FilterType)
    {
    case CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE:
        if (filter->Flags & ~CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES)
            return CR_INVALID_FLAG;
        reg->ourClass = (filter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) ||
                        IsEqualGUID(filter->u.DeviceInterface.ClassGuid, kInterfaceClass);
        if (reg->ourClass)
            reg->knownLinks = PresentLinks(devices);
        break;
    case CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE:
    {
        if (filter->Flags != 0)
            return CR_INVALID_FLAG;
        std::lock_guard lock(m_mutex);
        const auto it = m_handles.find(filter->u.DeviceHandle.hTarget);
        if (it == m_handles.end())
            return CR_INVALID_DATA;
        reg->instanceId = it->second;
        const auto device =
            std::find_if(devices.begin(), devices.end(),
                         [&](const auto& d) { return EqualNoCase(d.instanceId, reg->instanceId); });
        if (device == devices.end() || device->state != DeviceState::Started)
            return CR_NO_SUCH_DEVINST;
        reg->nextEvent = device->handleEvents.size();
        break;
    }
    default:
        return CR_INVALID_DATA;
    }
    std::lock_guard lock(m_mutex);
    EnsureThread();
    *notification = reinterpret_cast<HCMNOTIFICATION>(reg.get());
    m_registrations.push_back(std::move(reg));
    return CR_SUCCESS;
}

CONFIGRET CNotificationHub::Unregister(HCMNOTIFICATION notification)
{
    std::shared_ptr<Registration> reg;
    {
        std::lock_guard lock(m_mutex);
        const auto it = std::find_if(m_registrations.begin(), m_registrations.end(),
                                     [&](const auto& r)
                                     { return reinterpret_cast<HCMNOTIFICATION>(r.get()) == notification; });
        if (it == m_registrations.end())
            return CR_INVALID_POINTER;
        reg = *it;
        m_registrations.erase(it);
    }
    std::unique_lock lock(reg->mutex);
    reg->active = false;
    if (::GetCurrentThreadId() != m_threadId)
        reg->idle.wait(lock, [&] { return !reg->inCallback; });
    return CR_SUCCESS;
}

void CNotificationHub::RememberHandle(HANDLE handle, const std::wstring& instanceId)
{
    std::lock_guard lock(m_mutex);
    m_handles[handle] = instanceId;
}

void CNotificationHub::Wake()
{
    ::SetEvent(m_wake);
}

DWORD CNotificationHub::Invoke(Registration& reg, CM_NOTIFY_ACTION action, const std::wstring& link)
{
    {
        std::lock_guard lock(reg.mutex);
        if (!reg.active)
            return ERROR_SUCCESS;
        reg.inCallback = true;
    }
    // The event data ends with the link (interface events) or an empty payload (handle events).
    const size_t size = sizeof(CM_NOTIFY_EVENT_DATA) + (link.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> buffer(size);
    auto* data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(buffer.data());
    data->FilterType = reg.type;
    if (reg.type == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
    {
        data->u.DeviceInterface.ClassGuid = kInterfaceClass;
        std::copy(link.begin(), link.end(), data->u.DeviceInterface.SymbolicLink);
    }
    const DWORD result = reg.callback(reinterpret_cast<HCMNOTIFICATION>(&reg), reg.context, action, data,
                                      static_cast<DWORD>(size));
    std::lock_guard lock(reg.mutex);
    reg.inCallback = false;
    reg.idle.notify_all();
    return result;
}

void CNotificationHub::DeliverAll()
{
    std::lock_guard delivery(m_deliveryMutex);
    const auto devices = store::Devices();
    std::vector<std::shared_ptr<Registration>> regs;
    {
        std::lock_guard lock(m_mutex);
        regs = m_registrations;
    }
    // Device-handle events first: a device's remove-complete comes before its interface removal.
    for (const auto& reg : regs)
    {
        if (reg->type != CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE)
            continue;
        const auto device =
            std::find_if(devices.begin(), devices.end(),
                         [&](const auto& d) { return EqualNoCase(d.instanceId, reg->instanceId); });
        if (device == devices.end())
            continue;
        while (reg->nextEvent < device->handleEvents.size())
        {
            const size_t position = reg->nextEvent++;
            const auto action = static_cast<CM_NOTIFY_ACTION>(device->handleEvents[position]);
            const DWORD result = Invoke(*reg, action, L"");
            if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE && result != ERROR_SUCCESS)
                store::RecordVeto(device->instanceId, static_cast<DWORD>(position + 1));
        }
    }
    const auto present = PresentLinks(devices);
    for (const auto& reg : regs)
    {
        if (reg->type != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE || !reg->ourClass)
            continue;
        std::vector<std::wstring> gone;
        std::set_difference(reg->knownLinks.begin(), reg->knownLinks.end(), present.begin(), present.end(),
                            std::back_inserter(gone));
        for (const auto& link : gone)
        {
            reg->knownLinks.erase(link);
            Invoke(*reg, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, link);
        }
        // Arrivals in the order the devices were created.
        for (const auto& d : devices)
        {
            if (d.state != DeviceState::Started)
                continue;
            const std::wstring link = LinkForInstance(d.instanceId);
            if (reg->knownLinks.insert(link).second)
                Invoke(*reg, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, link);
        }
    }
}

void CNotificationHub::Run()
{
    m_threadId = ::GetCurrentThreadId();
    HANDLE changed = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY root = nullptr;
    for (;;)
    {
        ::ResetEvent(changed);
        store::ArmWorldKeyWatch(root, changed);
        try
        {
            DeliverAll();
        }
        catch (const std::exception&)
        {
            // A store failure ends nothing: the next pass tries again.
        }
        const HANDLE waits[] = {m_stop, changed, m_wake};
        // The poll interval also covers changes the registry watch does not report.
        if (::WaitForMultipleObjects(3, waits, FALSE, root ? 250 : 20) == WAIT_OBJECT_0)
            break;
    }
    if (root)
        ::RegCloseKey(root);
    ::CloseHandle(changed);
}

} // namespace simulation
