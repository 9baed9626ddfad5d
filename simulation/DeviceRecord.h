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
    Removed = 2,    // gone; the record stays for late notifications until the number is given again
    // surprise-removed: the channel is broken and remove-complete posted, but the interface is still
    // listed until the removal gap has passed
    SurpriseRemoved = 3,
};

// The interface of a device in this state is listed and reported as present.
inline bool InterfacePresent(DeviceState state)
{
    return state == DeviceState::Started || state == DeviceState::SurpriseRemoved;
}

struct DeviceRecord
{
    std::wstring instanceId; // "ROOT\MEDIA\0000"
    // Tells apart the devices that had the same instance id one after another (the number is given
    // again once a removed device is forgotten).
    DWORD record = 0;
    DeviceState state = DeviceState::Registered;
    DWORD startedTick = 0; // GetTickCount when the device last started
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
    // Faults and the stream check, routed to the serving world (counts and numbers only grow).
    DWORD stallRequests = 0;
    DWORD stallMs = 0;         // of the last stall request; 0: until the host gives up
    DWORD slowPermille = 1000; // the clock's slowness, 1000 = the audio rate
    DWORD expectationSeq = 0;  // 0: the serving world's default expectation
    std::wstring expectation;
    // Failures of the host's own transfers, carried out in the host's process.
    DWORD failReadSeq = 0;
    DWORD failReadCode = 0;
    DWORD failWriteSeq = 0;
    DWORD failWriteCode = 0;
    // The index of the device (the number in its instance id); salts its capture signal.
    DWORD index = 0;
};

} // namespace simulation
