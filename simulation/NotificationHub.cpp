#include "simulation/NotificationHub.h"

#include "simulation/ChannelIo.h"
#include "simulation/DeviceNames.h"
#include "simulation/DeviceRecord.h"
#include "simulation/WorldOptions.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include "driver/InterfaceClass.h"
#include "platform/Boundary.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace simulation
{

namespace
{

using driver::kInterfaceClass;
constexpr size_t kDeliveryThreads = 4;
// How long the second group of a pass waits for the first group's callbacks to return. Bounded, so
// that a callback waiting for the other group cannot hang the world.
constexpr auto kGroupHeadStart = std::chrono::milliseconds(100);

// The registration whose callback this delivery thread is running, if any.
thread_local const void* t_running = nullptr;

std::map<std::wstring, DWORD> PresentLinks(const std::vector<DeviceRecord>& devices)
{
    std::map<std::wstring, DWORD> links;
    for (const auto& device : devices)
    {
        if (InterfacePresent(device.state))
        {
            links.emplace(LinkForInstance(device.instanceId), device.record);
        }
    }
    return links;
}

const DeviceRecord* FindDevice(const std::vector<DeviceRecord>& devices, const std::wstring& instanceId,
                               DWORD record)
{
    const auto it =
        std::find_if(devices.begin(), devices.end(),
                     [&](const auto& candidate)
                     { return candidate.record == record && EqualNoCase(candidate.instanceId, instanceId); });
    return it == devices.end() ? nullptr : &*it;
}

} // namespace

CNotificationHub& CNotificationHub::Instance()
{
    static CNotificationHub hub;
    return hub;
}

CNotificationHub::CNotificationHub()
    : m_wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

CNotificationHub::~CNotificationHub()
{
    ::SetEvent(m_stop.get());
    if (m_thread.joinable())
    {
        m_thread.join();
    }
    {
        std::lock_guard lock(m_poolMutex);
        m_stopping = true;
    }
    m_poolWake.notify_all();
    for (auto& worker : m_workers)
    {
        worker.join();
    }
}

void CNotificationHub::EnsureThreads()
{
    if (m_thread.joinable())
    {
        return;
    }
    for (size_t i = 0; i < kDeliveryThreads; ++i)
    {
        m_workers.emplace_back([this] { platform::CatchAtBoundary([this] { Work(); }); });
    }
    m_thread = std::thread([this] { platform::CatchAtBoundary([this] { Run(); }); });
}

CONFIGRET CNotificationHub::Register(const CM_NOTIFY_FILTER* filter, PVOID context,
                                     PCM_NOTIFY_CALLBACK callback, HCMNOTIFICATION* notification)
{
    if (filter == nullptr || callback == nullptr || notification == nullptr)
    {
        return CR_INVALID_POINTER;
    }
    if (filter->cbSize != sizeof(CM_NOTIFY_FILTER))
    {
        return CR_INVALID_STRUCTURE_SIZE;
    }
    auto reg = std::make_shared<Registration>();
    reg->type = filter->FilterType;
    reg->callback = callback;
    reg->context = context;
    switch (filter->FilterType)
    {
    case CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE:
        if ((filter->Flags & ~CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0)
        {
            return CR_INVALID_FLAG;
        }
        reg->ourClass = (filter->Flags & CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES) != 0 ||
                        IsEqualGUID(filter->u.DeviceInterface.ClassGuid, kInterfaceClass);
        if (reg->ourClass)
        {
            reg->knownLinks = PresentLinks(store::Devices());
        }
        break;
    case CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE:
    {
        if (filter->Flags != 0)
        {
            return CR_INVALID_FLAG;
        }
        {
            std::lock_guard lock(m_mutex);
            const auto it = m_handles.find(filter->u.DeviceHandle.hTarget);
            if (it == m_handles.end())
            {
                return CR_INVALID_DATA;
            }
            reg->instanceId = it->second;
        }
        // Counted among the device's handle registrations in the same step as its starting point,
        // so a removal knows exactly who must answer its query.
        CWorldLock lock;
        const auto device = store::Find(reg->instanceId);
        if (!device || device->state != DeviceState::Started)
        {
            return CR_NO_SUCH_DEVINST;
        }
        reg->nextEvent = device->handleEvents.size();
        reg->answered = static_cast<DWORD>(device->handleEvents.size());
        reg->record = device->record;
        store::AddDeviceValue(reg->instanceId, values::kHandleRegistrations, 1);
        break;
    }
    default:
        return CR_INVALID_DATA;
    }
    std::lock_guard lock(m_mutex);
    EnsureThreads();
    *notification = reinterpret_cast<HCMNOTIFICATION>(reg.get());
    m_registrations.push_back(std::move(reg));
    return CR_SUCCESS;
}

CONFIGRET CNotificationHub::Unregister(HCMNOTIFICATION notification)
{
    RegistrationPtr reg;
    {
        std::lock_guard lock(m_mutex);
        const auto it =
            std::find_if(m_registrations.begin(), m_registrations.end(),
                         [&](const auto& registration)
                         { return reinterpret_cast<HCMNOTIFICATION>(registration.get()) == notification; });
        if (it == m_registrations.end())
        {
            return CR_INVALID_POINTER;
        }
        reg = *it;
        m_registrations.erase(it);
    }
    {
        std::unique_lock lock(reg->mutex);
        reg->active = false;
        reg->queue.clear();
        if (t_running == reg.get())
        {
            // Windows would wait here for this very callback to return: a deadlock.
            lock.unlock();
            const std::wstring& device = reg->instanceId;
            std::fwprintf(stderr,
                          L"device world: CM_Unregister_Notification called from a callback of the same "
                          L"registration (%ls); on Windows this deadlocks\n",
                          device.empty() ? L"interface notifications" : device.c_str());
            std::fflush(stderr);
            if (device.empty())
            {
                store::IncrementRootValue(values::kUnregisterInCallback);
            }
            else
            {
                store::AddCount(device, values::kUnregisterInCallback, 1);
            }
        }
        else
        {
            reg->idle.wait(lock, [&] { return !reg->running; });
        }
    }
    if (reg->type == CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE)
    {
        // A query this registration has not answered no longer waits for it.
        CWorldLock lock;
        const DWORD query = store::DeviceValue(reg->instanceId, values::kQueryPosition, reg->record);
        if (query > reg->answered)
        {
            store::AddDeviceValue(reg->instanceId, values::kQueryAnswered, 1, reg->record);
        }
        store::AddDeviceValue(reg->instanceId, values::kHandleRegistrations, -1, reg->record);
    }
    return CR_SUCCESS;
}

void CNotificationHub::RememberHandle(HANDLE handle, const std::wstring& instanceId)
{
    CChannelIo::Observe(handle, instanceId);
    std::lock_guard lock(m_mutex);
    m_handles[handle] = instanceId;
    EnsureThreads();
}

void CNotificationHub::ArmFaults(const std::vector<DeviceRecord>& devices)
{
    for (const auto& device : devices)
    {
        const auto seen = m_faultsSeen.find(device.instanceId);
        if (seen == m_faultsSeen.end() || seen->second.record != device.record)
        {
            // Requests made before this process knew the device are not carried out.
            m_faultsSeen[device.instanceId] = {device.record, device.failReadSeq, device.failWriteSeq};
            continue;
        }
        if (seen->second.readSeq != device.failReadSeq)
        {
            seen->second.readSeq = device.failReadSeq;
            CChannelIo::Arm(device.instanceId, true, device.failReadCode);
        }
        if (seen->second.writeSeq != device.failWriteSeq)
        {
            seen->second.writeSeq = device.failWriteSeq;
            CChannelIo::Arm(device.instanceId, false, device.failWriteCode);
        }
    }
}

void CNotificationHub::Wake()
{
    ::SetEvent(m_wake.get());
}

DWORD CNotificationHub::Invoke(Registration& reg, const Event& event)
{
    // The event data ends with the link (interface events) or an empty payload (handle events).
    const size_t size = sizeof(CM_NOTIFY_EVENT_DATA) + (event.link.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> buffer(size);
    auto* data = reinterpret_cast<CM_NOTIFY_EVENT_DATA*>(buffer.data());
    data->FilterType = reg.type;
    if (reg.type == CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE)
    {
        data->u.DeviceInterface.ClassGuid = kInterfaceClass;
        std::copy(event.link.begin(), event.link.end(), data->u.DeviceInterface.SymbolicLink);
    }
    DWORD result = ERROR_SUCCESS;
    t_running = &reg;
    platform::CatchAtBoundary(
        [&]
        {
            result = reg.callback(reinterpret_cast<HCMNOTIFICATION>(&reg), reg.context, event.action, data,
                                  static_cast<DWORD>(size));
        });
    t_running = nullptr;
    return result;
}

void CNotificationHub::Answer(Registration& reg, const Event& event, DWORD result)
{
    if (event.action != CM_NOTIFY_ACTION_DEVICEQUERYREMOVE)
    {
        return;
    }
    CWorldLock lock;
    if (result != ERROR_SUCCESS)
    {
        store::RecordVeto(reg.instanceId, event.position);
    }
    if (store::DeviceValue(reg.instanceId, values::kQueryPosition, reg.record) == event.position)
    {
        store::AddDeviceValue(reg.instanceId, values::kQueryAnswered, 1, reg.record);
    }
    std::lock_guard regLock(reg.mutex);
    reg.answered = std::max(reg.answered, event.position);
}

void CNotificationHub::Work()
{
    for (;;)
    {
        RegistrationPtr reg;
        {
            std::unique_lock lock(m_poolMutex);
            m_poolWake.wait(lock, [&] { return m_stopping || !m_ready.empty(); });
            if (m_stopping)
            {
                return;
            }
            reg = std::move(m_ready.front());
            m_ready.pop_front();
        }
        Event event;
        {
            std::lock_guard lock(reg->mutex);
            if (!reg->active || reg->queue.empty())
            {
                reg->scheduled = false;
                continue;
            }
            event = std::move(reg->queue.front());
            reg->queue.pop_front();
            reg->running = true;
        }
        const DWORD result = Invoke(*reg, event);
        platform::CatchAtBoundary([&] { Answer(*reg, event, result); });
        bool again = false;
        {
            std::lock_guard lock(reg->mutex);
            reg->running = false;
            again = reg->active && !reg->queue.empty();
            reg->scheduled = again;
        }
        reg->idle.notify_all();
        if (event.batch)
        {
            --*event.batch;
        }
        if (again)
        {
            {
                std::lock_guard lock(m_poolMutex);
                m_ready.push_back(reg);
            }
            m_poolWake.notify_one();
        }
    }
}

void CNotificationHub::Post(const RegistrationPtr& reg, std::vector<Event> events)
{
    if (events.empty())
    {
        return;
    }
    bool schedule = false;
    {
        std::lock_guard lock(reg->mutex);
        if (!reg->active)
        {
            return;
        }
        for (auto& event : events)
        {
            if (event.batch)
            {
                ++*event.batch;
            }
            reg->queue.push_back(std::move(event));
        }
        schedule = !reg->scheduled;
        reg->scheduled = true;
    }
    if (schedule)
    {
        {
            std::lock_guard lock(m_poolMutex);
            m_ready.push_back(reg);
        }
        m_poolWake.notify_one();
    }
}

void CNotificationHub::WaitForBatch(const std::shared_ptr<std::atomic<int>>& batch)
{
    const auto until = std::chrono::steady_clock::now() + kGroupHeadStart;
    while (*batch > 0 && std::chrono::steady_clock::now() < until)
    {
        ::Sleep(1);
    }
}

void CNotificationHub::PostHandleEvents(const std::vector<RegistrationPtr>& regs,
                                        const std::vector<DeviceRecord>& devices,
                                        const std::shared_ptr<std::atomic<int>>& batch)
{
    for (const auto& reg : regs)
    {
        if (reg->type != CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE)
        {
            continue;
        }
        const DeviceRecord* device = FindDevice(devices, reg->instanceId, reg->record);
        if (device == nullptr)
        {
            continue;
        }
        std::vector<Event> events;
        for (; reg->nextEvent < device->handleEvents.size(); ++reg->nextEvent)
        {
            events.push_back({static_cast<CM_NOTIFY_ACTION>(device->handleEvents[reg->nextEvent]), L"",
                              static_cast<DWORD>(reg->nextEvent + 1), batch});
        }
        Post(reg, std::move(events));
    }
}

void CNotificationHub::PostInterfaceChanges(const std::vector<RegistrationPtr>& regs,
                                            const std::vector<DeviceRecord>& devices, bool removals,
                                            const std::shared_ptr<std::atomic<int>>& batch)
{
    const auto present = PresentLinks(devices);
    // Links are followed in one form and reported in the world's notification case.
    const auto linkCase = static_cast<LinkCase>(store::RootValue(values::kLinkCase));
    for (const auto& reg : regs)
    {
        if (reg->type != CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE || !reg->ourClass)
        {
            continue;
        }
        std::vector<Event> events;
        if (removals)
        {
            for (auto it = reg->knownLinks.begin(); it != reg->knownLinks.end();)
            {
                const auto now = present.find(it->first);
                if (now != present.end() && now->second == it->second)
                {
                    ++it;
                    continue;
                }
                const auto instanceId = InstanceFromLink(it->first);
                events.push_back(
                    {CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, NotifiedLink(*instanceId, linkCase), 0, batch});
                it = reg->knownLinks.erase(it);
            }
        }
        else
        {
            // Arrivals in the order the devices were created.
            for (const auto& device : devices)
            {
                if (!InterfacePresent(device.state))
                {
                    continue;
                }
                if (reg->knownLinks.emplace(LinkForInstance(device.instanceId), device.record).second)
                {
                    events.push_back({CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL,
                                      NotifiedLink(device.instanceId, linkCase), 0, batch});
                }
            }
        }
        Post(reg, std::move(events));
    }
}

void CNotificationHub::DeliverAll()
{
    const auto devices = store::Devices();
    const auto order = static_cast<DeliveryOrder>(store::RootValue(values::kDeliveryOrder));
    std::vector<RegistrationPtr> regs;
    {
        std::lock_guard lock(m_mutex);
        regs = m_registrations;
    }
    // The first group gets a head start: the second is handed out once its callbacks have returned
    // (or after a bounded time).
    auto first = std::make_shared<std::atomic<int>>(0);
    if (order == DeliveryOrder::InterfaceRemovalFirst)
    {
        PostInterfaceChanges(regs, devices, true, first);
        WaitForBatch(first);
        PostHandleEvents(regs, devices, nullptr);
    }
    else
    {
        PostHandleEvents(regs, devices, first);
        WaitForBatch(first);
        PostInterfaceChanges(regs, devices, true, nullptr);
    }
    PostInterfaceChanges(regs, devices, false, nullptr);
    ArmFaults(devices);
    CChannelIo::Publish();
}

void CNotificationHub::Run()
{
    platform::UniqueEvent changed(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HKEY root = nullptr;
    for (;;)
    {
        ::ResetEvent(changed.get());
        store::ArmWorldKeyWatch(root, changed.get());
        try
        {
            DeliverAll();
        }
        catch (const std::exception&)
        {
            // A store failure ends nothing: the next pass tries again.
        }
        const HANDLE waits[] = {m_stop.get(), changed.get(), m_wake.get()};
        // The poll interval also covers changes the registry watch does not report.
        if (::WaitForMultipleObjects(3, waits, FALSE, root != nullptr ? 250 : 20) == WAIT_OBJECT_0)
        {
            break;
        }
    }
    if (root != nullptr)
    {
        ::RegCloseKey(root);
    }
}

} // namespace simulation
