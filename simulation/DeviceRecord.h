#pragma once
// One simulated device as every process of the device world sees it (the shared store's view).
#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace simulation
{

enum class DeviceState : DWORD
{
    Registered = 0, // created by the setup services, no driver yet: no interface, no endpoints
    Started = 1,    // driver running: interface present, endpoints present
    Removed = 2,    // gone; the record stays so that late notifications can still be delivered
};

struct DeviceRecord
{
    std::wstring instanceId; // "ROOT\MEDIA\0000"
    DeviceState state = DeviceState::Registered;
    std::vector<std::wstring> hardwareIds;
    std::wstring setupClass; // "{4d36e96c-...}"
    std::wstring captureEndpoint;
    std::wstring renderEndpoint;
    // Device-handle notifications posted for this device, in order (CM_NOTIFY_ACTION values).
    std::vector<DWORD> handleEvents;
    // 1-based position in handleEvents of the last query-remove a holder vetoed; 0 when none.
    DWORD vetoedQuery = 0;
    // Removal requests from other processes to the serving world, and its answers.
    DWORD removeRequestKind = 0;
    DWORD removeRequestSeq = 0;
    DWORD removeResult = 0;
    DWORD removeResultSeq = 0;
    DWORD shortReadRequests = 0;
    // The index of the device (the number in its instance id); salts its capture signal.
    DWORD index = 0;
};

} // namespace simulation
