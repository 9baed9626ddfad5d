#pragma once
// The state of the device world that every process reaches: a registry key of its own,
// HKLM\SOFTWARE\OrvaneDeviceWorld, guarded by a named mutex. Every change that watchers must see
// increments the root value "Generation", which wakes the registry watches of all processes.
//
//   Generation, NextIndex            DWORD
//   Devices\<ROOT#MEDIA#0000>\...    one key per device (see DeviceRecord), "Stats.*" values
//   Endpoints\<endpoint id>\...      Device, Flow, State, and "{fmtid},pid" string properties
//   Install\...                      configured outcomes of the installation services
#include "simulation/DeviceRecord.h"
#include "simulation/DeviceStatistics.h"

#include <optional>
#include <string>
#include <vector>

#include <windows.h>

namespace simulation
{

inline constexpr wchar_t kWorldKey[] = L"SOFTWARE\\OrvaneDeviceWorld";

// Holds the world's named mutex (cross-process, re-entrant within a thread).
class CWorldLock
{
public:
    CWorldLock();
    ~CWorldLock();
    CWorldLock(const CWorldLock&) = delete;
    CWorldLock& operator=(const CWorldLock&) = delete;
};

struct EndpointRecord
{
    std::wstring id;
    std::wstring device; // instance id
    DWORD flow = 0;      // EDataFlow: 0 render, 1 capture
    DWORD state = 1;     // DEVICE_STATE_* as configured (the device must also be started)
};

namespace store
{

// Deletes the whole world (tests start from nothing).
void Reset();
// Wakes every watcher in every process.
void Bump();
DWORD Generation();

std::vector<DeviceRecord> Devices();
std::optional<DeviceRecord> Find(const std::wstring& instanceId); // letter case ignored

// Gives out the next free instance id for "ROOT\<name>\nnnn" (never given out twice).
std::wstring ReserveInstanceId(const std::wstring& enumeratorName);
// Creates a device record in state Registered with its two endpoints; false when it exists.
bool RegisterDevice(const std::wstring& instanceId, const std::vector<std::wstring>& hardwareIds,
                    const std::wstring& setupClass);
// Both of the above; returns the instance id.
std::wstring CreateDevice(const std::wstring& enumeratorName, const std::vector<std::wstring>& hardwareIds,
                          const std::wstring& setupClass);
void SetHardwareIds(const std::wstring& instanceId, const std::vector<std::wstring>& hardwareIds);
bool SetState(const std::wstring& instanceId, DeviceState state);
// A started device's endpoints (and its children in the device tree) appear the world's endpoint
// delay after it started: the milliseconds still to go, 0 once they are there or when the device is
// not started.
DWORD EndpointsDueInMs(const DeviceRecord& device);
// Appends device-handle notifications; returns the 1-based position of the last one.
DWORD PostHandleEvents(const std::wstring& instanceId, const std::vector<DWORD>& actions);
void RecordVeto(const std::wstring& instanceId, DWORD queryPosition);

DWORD RequestRemoval(const std::wstring& instanceId, DWORD kind); // returns the request number
void AnswerRemoval(const std::wstring& instanceId, DWORD seq, DWORD result);
void RequestShortRead(const std::wstring& instanceId);

// The channel figures the serving world publishes, and with them the counts (below).
void PublishStatistics(const std::wstring& instanceId, const DeviceStatistics& stats);
std::optional<DeviceStatistics> ReadStatistics(const std::wstring& instanceId);
// Counts any process adds for a device (failed transfers, vetoes, violations): "Count.*" values.
void ReadCounts(const std::wstring& instanceId, DeviceStatistics& stats);
void AddCount(const std::wstring& instanceId, const wchar_t* name, DWORD delta);
void ClearCounts();

// A DWORD of the device's record (requests to the serving world, the removal protocol); `record`
// names one record of the instance id (DeviceRecord::record), 0 the current one.
DWORD DeviceValue(const std::wstring& instanceId, const wchar_t* name, DWORD record = 0);
void SetDeviceValue(const std::wstring& instanceId, const wchar_t* name, DWORD value, DWORD record = 0);
// Adds `delta` (which may be negative) to the value; returns the new value.
DWORD AddDeviceValue(const std::wstring& instanceId, const wchar_t* name, LONG delta, DWORD record = 0);
void SetExpectation(const std::wstring& instanceId, const std::wstring& text);

// DWORD values of the world's root: the serving world's options, requests to it and its answers.
DWORD RootValue(const wchar_t* name, DWORD fallback = 0);
void SetRootValue(const wchar_t* name, DWORD value);
DWORD IncrementRootValue(const wchar_t* name);

std::vector<EndpointRecord> Endpoints();
std::optional<EndpointRecord> FindEndpoint(const std::wstring& endpointId); // exact id
bool SetEndpointState(const std::wstring& endpointId, DWORD state);
std::optional<std::wstring> EndpointProperty(const std::wstring& endpointId, const std::wstring& keyText);
bool SetEndpointProperty(const std::wstring& endpointId, const std::wstring& keyText,
                         const std::wstring& value);
std::vector<std::pair<std::wstring, std::wstring>> EndpointProperties(const std::wstring& endpointId);

// Installation settings: DWORD values under Install (missing = 0).
DWORD InstallSetting(const std::wstring& name);
void SetInstallSetting(const std::wstring& name, DWORD value);
void ClearInstallSettings();

// Arms a one-shot notification on the world key for `changed`, (re)opening the key into `root` when
// it is not open; a key deleted under us (the world was reset) is closed and opened again next time.
void ArmWorldKeyWatch(HKEY& root, HANDLE changed);

} // namespace store
} // namespace simulation
