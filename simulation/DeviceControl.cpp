#include "simulation/DeviceControl.h"

#include "simulation/ChannelIo.h"
#include "simulation/DeviceNames.h"
#include "simulation/DeviceWorld.h"
#include "simulation/NotificationHub.h"
#include "simulation/PropertyKeyText.h"
#include "simulation/RemovalProtocol.h"
#include "simulation/StreamExpectation.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include <cmath>

namespace simulation
{

namespace
{

// The record of a started device, or nothing.
std::optional<DeviceRecord> StartedDevice(const std::wstring& instanceId)
{
    auto device = store::Find(instanceId);
    if (!device || device->state != DeviceState::Started)
    {
        return std::nullopt;
    }
    return device;
}

} // namespace

void ResetWorld()
{
    store::Reset();
    CNotificationHub::Instance().Wake();
}

bool WorldIsServing()
{
    platform::UniqueHandle serving(::OpenEventW(SYNCHRONIZE, FALSE, L"OrvaneDeviceWorld.Serving"));
    return static_cast<bool>(serving);
}

LinkCase WorldLinkCase()
{
    return static_cast<LinkCase>(store::RootValue(values::kLinkCase));
}

std::wstring AddDevice()
{
    const std::wstring id = store::CreateDevice(kMediaClassName, {kHardwareId}, kMediaClassText);
    store::SetState(id, DeviceState::Started);
    store::Bump();
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        world->Sync();
    }
    CNotificationHub::Instance().Wake();
    return id;
}

std::vector<std::wstring> StartedDevices()
{
    std::vector<std::wstring> ids;
    for (const auto& device : store::Devices())
    {
        if (device.state == DeviceState::Started)
        {
            ids.push_back(device.instanceId);
        }
    }
    return ids;
}

RemovalOutcome RequestRemoval(const std::wstring& instanceId, RemovalKind kind, DWORD timeoutMs)
{
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        return world->Remove(instanceId, kind);
    }
    if (!WorldIsServing())
    {
        return RunRemoval(instanceId, kind, RemovalSettings{}, nullptr);
    }
    const auto device = StartedDevice(instanceId);
    if (!device)
    {
        return RemovalOutcome::NotFound;
    }
    const DWORD seq = store::RequestRemoval(device->instanceId, static_cast<DWORD>(kind));
    store::Bump();
    for (DWORD waited = 0; waited < timeoutMs; waited += 5)
    {
        if (store::DeviceValue(device->instanceId, L"RemoveResultSeq") >= seq)
        {
            return static_cast<RemovalOutcome>(store::DeviceValue(device->instanceId, L"RemoveResult"));
        }
        ::Sleep(5);
    }
    return RemovalOutcome::TimedOut;
}

bool SetExpectation(const std::wstring& instanceId, const std::wstring& text)
{
    const auto expectation = ParseExpectation(text);
    const auto device = store::Find(instanceId);
    if (!expectation || !device || device->state == DeviceState::Removed)
    {
        return false;
    }
    store::SetExpectation(device->instanceId, ExpectationText(*expectation));
    store::Bump();
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        world->SetExpectation(device->instanceId, *expectation);
    }
    return true;
}

bool RequestShortRead(const std::wstring& instanceId)
{
    const auto device = StartedDevice(instanceId);
    if (!device)
    {
        return false;
    }
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        return world->InjectShortRead(instanceId);
    }
    store::RequestShortRead(device->instanceId);
    store::Bump();
    return true;
}

bool RequestStall(const std::wstring& instanceId, DWORD ms)
{
    const auto device = StartedDevice(instanceId);
    if (!device)
    {
        return false;
    }
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        return world->InjectStall(instanceId, ms);
    }
    {
        CWorldLock lock;
        store::SetDeviceValue(device->instanceId, values::kStallMs, ms);
        store::AddDeviceValue(device->instanceId, values::kStallRequests, 1);
    }
    store::Bump();
    return true;
}

bool RequestSlow(const std::wstring& instanceId, double factor)
{
    const auto device = StartedDevice(instanceId);
    if (!device || !std::isfinite(factor) || factor < 1.0 || factor > 100.0)
    {
        return false;
    }
    store::SetDeviceValue(device->instanceId, values::kSlowPermille,
                          static_cast<DWORD>(std::lround(factor * 1000.0)));
    store::Bump();
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        return world->SetSlowFactor(instanceId, factor);
    }
    return true;
}

namespace
{

bool RequestFailedTransfer(const std::wstring& instanceId, const wchar_t* code, const wchar_t* seq,
                           DWORD error)
{
    const auto device = StartedDevice(instanceId);
    if (!device || error == ERROR_SUCCESS || error == ERROR_IO_PENDING)
    {
        return false;
    }
    // The holder is in this process: armed at once. Else the holder's process arms it.
    if (CChannelIo::Arm(device->instanceId, code == values::kFailReadCode, error))
    {
        return true;
    }
    {
        CWorldLock lock;
        store::SetDeviceValue(device->instanceId, code, error);
        store::AddDeviceValue(device->instanceId, seq, 1);
    }
    store::Bump();
    CNotificationHub::Instance().Wake();
    return true;
}

} // namespace

bool RequestFailedRead(const std::wstring& instanceId, DWORD error)
{
    return RequestFailedTransfer(instanceId, values::kFailReadCode, values::kFailReadSeq, error);
}

bool RequestFailedWrite(const std::wstring& instanceId, DWORD error)
{
    return RequestFailedTransfer(instanceId, values::kFailWriteCode, values::kFailWriteSeq, error);
}

std::optional<DeviceStatistics> Statistics(const std::wstring& instanceId)
{
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        if (auto live = world->Statistics(instanceId))
        {
            return live;
        }
    }
    return store::ReadStatistics(instanceId);
}

void ResetStatistics()
{
    store::ClearCounts();
    const DWORD seq = store::IncrementRootValue(values::kStatsResetSeq);
    store::Bump();
    if (CDeviceWorld* world = CDeviceWorld::Current())
    {
        world->ResetStatistics();
        return;
    }
    for (int waited = 0; WorldIsServing() && waited < 2000; waited += 5)
    {
        if (store::RootValue(values::kStatsResetDone) >= seq)
        {
            return;
        }
        ::Sleep(5);
    }
}

WorldTotals Totals()
{
    WorldTotals totals;
    for (const auto& device : store::Devices())
    {
        const DeviceStatistics figures = Statistics(device.instanceId).value_or(DeviceStatistics{});
        totals.blocksChecked += figures.blocksChecked;
        totals.mismatches += figures.mismatches;
        totals.failedTransfers += figures.failedTransfers;
        totals.cancelledTransfers += figures.cancelledTransfers;
        totals.vetoesOpenHandle += figures.vetoesOpenHandle;
        totals.vetoesWorld += figures.vetoesWorld;
        totals.vetoesCallback += figures.vetoesCallback;
        totals.lateRemovals += figures.lateRemovals;
        totals.unregisterInCallback += figures.unregisterInCallback;
    }
    // Violations of interface registrations belong to no device.
    totals.unregisterInCallback += store::RootValue(values::kUnregisterInCallback);
    return totals;
}

bool SetEndpointState(const std::wstring& endpointId, DWORD state)
{
    const bool set = store::SetEndpointState(endpointId, state);
    store::Bump(); // endpoint notification clients of every process look again
    return set;
}

std::optional<std::wstring> EndpointStringProperty(const std::wstring& endpointId, const GUID& fmtid,
                                                   DWORD pid)
{
    return store::EndpointProperty(endpointId, PropertyKeyText(fmtid, pid));
}

} // namespace simulation
