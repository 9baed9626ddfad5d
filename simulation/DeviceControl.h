#pragma once
// Operations on the device world from any process: they work whether or not this process serves the
// devices, routing to the serving world where one runs.
#include "simulation/DeviceStatistics.h"
#include "simulation/RemovalTypes.h"

#include <optional>
#include <string>

namespace simulation
{

// Deletes every device, endpoint and setting (tests start from nothing).
void ResetWorld();
// True when some process serves the device channels.
bool WorldIsServing();
// Creates a started device (hardware id "Root\VirtualAudioOrvane"); returns its instance id.
std::wstring AddDevice();
// Removes a started device: by the serving world when there is one (waiting up to `timeoutMs` for
// its answer), else here.
RemovalOutcome RequestRemoval(const std::wstring& instanceId, RemovalKind kind, DWORD timeoutMs = 20000);
// The device's next capture block is sent short, once. False when the device is not started.
bool RequestShortRead(const std::wstring& instanceId);
// Live statistics from this process's world, else the ones the serving world last published.
std::optional<DeviceStatistics> Statistics(const std::wstring& instanceId);
// Endpoint state (DEVICE_STATE_*) as configured; false for an unknown endpoint id.
bool SetEndpointState(const std::wstring& endpointId, DWORD state);
// A string property written through the endpoint store, e.g. key {A45C254E-...}, 2.
std::optional<std::wstring> EndpointStringProperty(const std::wstring& endpointId, const GUID& fmtid,
                                                   DWORD pid);

} // namespace simulation
