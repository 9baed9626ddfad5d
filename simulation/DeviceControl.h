#pragma once
// Operations on the device world from any process: they work whether or not this process serves the
// devices, routing to the serving world through the shared store where one runs elsewhere.
#include "simulation/DeviceNames.h"
#include "simulation/DeviceStatistics.h"
#include "simulation/RemovalTypes.h"

#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace simulation
{

// Deletes every device, endpoint and setting (tests start from nothing).
void ResetWorld();
// True when some process serves the device channels.
bool WorldIsServing();
// The letter case of links the world reports now (the serving world's option; mixed without one).
LinkCase WorldLinkCase();
// Creates a started device (hardware id "Root\VirtualAudioOrvane"); returns its instance id.
std::wstring AddDevice();
// The instance ids of the started devices, in the order they were created.
std::vector<std::wstring> StartedDevices();
// Removes a started device: by the serving world when there is one (waiting up to `timeoutMs` for
// its answer), else here.
RemovalOutcome RequestRemoval(const std::wstring& instanceId, RemovalKind kind, DWORD timeoutMs = 20000);

// The stream check of a device from its next block on: "identity", "gain=0.5", "delay=48",
// "gain=0.5,delay=48". False for an unknown device or text that is not an expectation.
bool SetExpectation(const std::wstring& instanceId, const std::wstring& text);

// Faults on demand; each is counted in the device's figures. False when the device is not started.
// The next capture block is sent with half its bytes, once.
bool RequestShortRead(const std::wstring& instanceId);
// The next capture block is held back for `ms` ms, or with 0 until the host gives up on it.
bool RequestStall(const std::wstring& instanceId, DWORD ms);
// The device's clock runs `factor` (1 to 100) times slower than the audio rate; 1 ends it.
bool RequestSlow(const std::wstring& instanceId, double factor);
// The host's next read (or write) on the device's channel fails with `error`, once (no I/O is done).
bool RequestFailedRead(const std::wstring& instanceId, DWORD error);
bool RequestFailedWrite(const std::wstring& instanceId, DWORD error);

// The figures of a device: live from this process's world, else as the serving world last
// published them, with the counts every process adds.
std::optional<DeviceStatistics> Statistics(const std::wstring& instanceId);
// Every device's figures start again (to drop a warm-up); waits for the serving world.
void ResetStatistics();

// Sums over every device the world has known since it was reset, in every process.
struct WorldTotals
{
    uint32_t blocksChecked = 0;
    uint32_t mismatches = 0;
    uint32_t failedTransfers = 0;
    uint32_t cancelledTransfers = 0;
    uint32_t vetoesOpenHandle = 0;
    uint32_t vetoesWorld = 0;
    uint32_t vetoesCallback = 0;
    uint32_t lateRemovals = 0;
    uint32_t unregisterInCallback = 0;
};
WorldTotals Totals();

// Endpoint state (DEVICE_STATE_*) as configured; false for an unknown endpoint id.
bool SetEndpointState(const std::wstring& endpointId, DWORD state);
// A string property written through the endpoint store, e.g. key {A45C254E-...}, 2.
std::optional<std::wstring> EndpointStringProperty(const std::wstring& endpointId, const GUID& fmtid,
                                                   DWORD pid);

} // namespace simulation
