#include "simulation/RemovalProtocol.h"

#include "simulation/ControlChannel.h"
#include "simulation/NotificationHub.h"
#include "simulation/WorldStore.h"

#include <chrono>

namespace simulation
{

namespace
{

void Publish()
{
    store::Bump();
    CNotificationHub::Instance().Wake();
}

void FinishRemoval(const std::wstring& instanceId, const std::vector<DWORD>& actions)
{
    {
        // One step for every watcher: the handle events are delivered before the interface removal.
        CWorldLock lock;
        store::PostHandleEvents(instanceId, actions);
        store::SetState(instanceId, DeviceState::Removed);
    }
    Publish();
}

} // namespace

RemovalOutcome RunRemoval(const std::wstring& instanceId, RemovalKind kind, DWORD waitMs,
                          CControlChannel* channel)
{
    const auto device = store::Find(instanceId);
    if (!device || device->state != DeviceState::Started)
        return RemovalOutcome::NotFound;
    const std::wstring id = device->instanceId;

    if (kind == RemovalKind::Surprise)
    {
        if (channel)
            channel->Stop();
        FinishRemoval(id, {CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE});
        return RemovalOutcome::Removed;
    }

    const DWORD query = store::PostHandleEvents(id, {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE});
    Publish();

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    // Once the handle is closed, the holders' other registrations get a moment to answer the query too.
    const auto settle = std::chrono::milliseconds(100);
    Clock::time_point closedSince{};
    bool vetoed = false;
    bool released = false;
    for (;;)
    {
        const auto now_record = store::Find(id);
        if (now_record && now_record->vetoedQuery == query)
        {
            vetoed = true;
            break;
        }
        const auto now = Clock::now();
        if (!channel || !channel->ClientConnected())
        {
            if (closedSince == Clock::time_point{})
                closedSince = now;
            else if (now - closedSince >= settle)
            {
                released = true;
                break;
            }
        }
        else
        {
            closedSince = {};
        }
        if (now >= deadline)
            break;
        ::Sleep(10);
    }

    if (vetoed || !released || kind == RemovalKind::WorldVeto)
    {
        store::PostHandleEvents(id, {CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED});
        Publish();
        return RemovalOutcome::Vetoed;
    }
    if (channel)
        channel->Stop();
    FinishRemoval(id, {CM_NOTIFY_ACTION_DEVICEREMOVEPENDING, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE});
    return RemovalOutcome::Removed;
}

} // namespace simulation
