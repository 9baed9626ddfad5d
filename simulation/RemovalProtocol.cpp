#include "simulation/RemovalProtocol.h"

#include "simulation/ControlChannel.h"
#include "simulation/NotificationHub.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include <chrono>

namespace simulation
{

namespace
{

using Clock = std::chrono::steady_clock;

void Publish()
{
    store::Bump();
    CNotificationHub::Instance().Wake();
}

void FinishRemoval(const std::wstring& instanceId, const std::vector<DWORD>& actions, DeviceState state)
{
    {
        // One step for every watcher: the handle events and the new state together.
        CWorldLock lock;
        store::PostHandleEvents(instanceId, actions);
        store::SetState(instanceId, state);
    }
    Publish();
}

RemovalOutcome Fail(const std::wstring& instanceId, const wchar_t* count)
{
    store::AddCount(instanceId, count, 1);
    store::PostHandleEvents(instanceId, {CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED});
    Publish();
    return RemovalOutcome::Vetoed;
}

bool HandleOpen(const CControlChannel* channel)
{
    return channel != nullptr && channel->HandleOpen();
}

RemovalOutcome Surprise(const std::wstring& id, const RemovalSettings& settings, CControlChannel* channel)
{
    if (channel != nullptr)
    {
        channel->Stop();
    }
    FinishRemoval(id, {CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}, DeviceState::SurpriseRemoved);
    ::Sleep(settings.surpriseGapMs);
    store::SetState(id, DeviceState::Removed);
    Publish();
    return RemovalOutcome::Removed;
}

} // namespace

RemovalOutcome RunRemoval(const std::wstring& instanceId, RemovalKind kind, const RemovalSettings& settings,
                          CControlChannel* channel)
{
    const auto device = store::Find(instanceId);
    if (!device || device->state != DeviceState::Started)
    {
        return RemovalOutcome::NotFound;
    }
    const std::wstring id = device->instanceId;
    if (kind == RemovalKind::Surprise)
    {
        return Surprise(id, settings, channel);
    }

    // The query goes to the handle registrations there are now; each answers once its callback has
    // returned (or it was unregistered first).
    DWORD query = 0;
    DWORD expected = 0;
    {
        CWorldLock lock;
        expected = store::DeviceValue(id, values::kHandleRegistrations);
        store::SetDeviceValue(id, values::kQueryAnswered, 0);
        query = store::PostHandleEvents(id, {CM_NOTIFY_ACTION_DEVICEQUERYREMOVE});
        store::SetDeviceValue(id, values::kQueryPosition, query);
    }
    Publish();

    const auto deadline = Clock::now() + std::chrono::milliseconds(settings.waitMs);
    for (;;)
    {
        if (store::DeviceValue(id, L"VetoedQuery") == query)
        {
            return Fail(id, values::kVetoesCallback);
        }
        if (store::DeviceValue(id, values::kQueryAnswered) >= expected || Clock::now() >= deadline)
        {
            break;
        }
        ::Sleep(1);
    }
    // The callbacks have returned: a handle open now keeps the device, unless an experiment allows a
    // grace period.
    if (HandleOpen(channel))
    {
        const auto graceEnd = Clock::now() + std::chrono::milliseconds(settings.graceMs);
        while (HandleOpen(channel) && Clock::now() < graceEnd)
        {
            ::Sleep(1);
        }
        if (HandleOpen(channel))
        {
            return Fail(id, values::kVetoesOpenHandle);
        }
        store::AddCount(id, values::kLateRemovals, 1);
    }
    if (kind == RemovalKind::WorldVeto)
    {
        return Fail(id, values::kVetoesWorld);
    }
    if (channel != nullptr)
    {
        channel->Stop();
    }
    FinishRemoval(id, {CM_NOTIFY_ACTION_DEVICEREMOVEPENDING, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE},
                  DeviceState::Removed);
    return RemovalOutcome::Removed;
}

} // namespace simulation
