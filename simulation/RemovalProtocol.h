#pragma once
// Removal of a started device with the system's protocol:
// - orderly: query-remove to every handle registration (in every process); once the last of those
//   callbacks has returned, a handle still open vetoes the removal (query-remove-failed), as does a
//   callback that returned an error; else remove-pending, remove-complete and the interface removal.
// - world veto: as orderly, but once the holders let go the device itself refuses.
// - surprise: no query; the channel breaks at once, remove-complete follows, and the interface
//   removal comes only after the removal gap.
// `channel` is the device's channel when this process serves it, else null (nobody can hold a handle).
#include "simulation/RemovalTypes.h"

#include <string>

#include <windows.h>

namespace simulation
{

class CControlChannel;

struct RemovalSettings
{
    DWORD waitMs = 2000; // for the query-remove callbacks to return
    DWORD graceMs = 0;   // for an open handle to be closed after they returned
    DWORD surpriseGapMs = 500;
};

RemovalOutcome RunRemoval(const std::wstring& instanceId, RemovalKind kind, const RemovalSettings& settings,
                          CControlChannel* channel);

} // namespace simulation
