#include "simulation/DeviceControl.h"

#include "simulation/DeviceNames.h"
#include "simulation/DeviceWorld.h"
#include "simulation/NotificationHub.h"
#include "simulation/PropertyKeyText.h"
#include "simulation/RemovalProtocol.h"
#include "simulation/WorldStore.h"

namespace simulation
{

void ResetWorld()
{
    store::Reset();
    CNotificationHub::Instance().Wake();
}

bool WorldIsServing()
{
    HANDLE serving = ::OpenEventW(SYNCHRONIZE, FALSE, L"OrvaneDeviceWorld.Serving");
    if (!serving)
        return false;
    ::CloseHandle(serving);
    return true;
}

std::wstring AddDevice()
{
    const std::wstring id = store::CreateDevice(kMediaClassName, {kHardwareId}, kMediaClassText);
    store::SetState(id, DeviceState::Started);
    store::Bump();
    if (CDeviceWorld* world = CDeviceWorld::Current())
        world->Sync();
    CNotificationHub::Instance().Wake();
    return id;
}

RemovalOutcome RequestRemoval(const std::wstring& instanceId, RemovalKind kind, DWORD timeoutMs)
{
    if (CDeviceWorld* world = CDeviceWorld::Current())
        return world->Remove(instanceId, kind);
    if (!WorldIsServing())
        return RunRemoval(instanceId, kind, 2000, nullptr);

    const auto device = store::Find(instanceId);
    if (!device || device->state != DeviceState::Started)
        return RemovalOutcome::NotFound;
    const DWORD seq = store::RequestRemoval(device->instanceId, static_cast<DWORD>(kind));
    store::Bump();
    for (DWORD waited = 0; waited < timeoutMs; waited += 20)
    {
        const auto now = store::Find(instanceId);
        if (!now)
            return RemovalOutcome::NotFound;
        if (now->removeResultSeq >= seq)
            return static_cast<RemovalOutcome>(now->removeResult);
        ::Sleep(20);
    }
    return RemovalOutcome::TimedOut;
}

bool RequestShortRead(const std::wstring& instanceId)
{
    const auto device = store::Find(instanceId);
    if (!device || device->state != DeviceState::Started)
        return false;
    if (CDeviceWorld* world = CDeviceWorld::Current())
        return world->InjectShortRead(instanceId);
    store::RequestShortRead(device->instanceId);
    store::Bump();
    return true;
}

std::optional<DeviceStatistics> Statistics(const std::wstring& instanceId)
{
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        if (auto live = world->Statistics(instanceId))
            return live;
    }
    return store::ReadStatistics(instanceId);
}

bool SetEndpointState(const std::wstring& endpointId, DWORD state)
{
    return store::SetEndpointState(endpointId, state);
}

std::optional<std::wstring> EndpointStringProperty(const std::wstring& endpointId, const GUID& fmtid,
                                                   DWORD pid)
{
    return store::EndpointProperty(endpointId, PropertyKeyText(fmtid, pid));
}

} // namespace simulation
