#pragma once
// Removal of a started device with the system's protocol:
// - orderly: query-remove to every handle registration; then up to `waitMs` for the handle to be
//   closed; then remove-pending, remove-complete and the interface removal. When a holder vetoes
//   (returns an error from its callback) or keeps its handle: query-remove-failed, the device stays.
// - world veto: as orderly, but after the holders let go the device refuses: query-remove-failed.
// - surprise: no query; the channel breaks, remove-complete, then the interface removal.
// `channel` is the device's channel when this process serves it, else null (nobody can hold a handle).
#include "simulation/RemovalTypes.h"

#include <string>

namespace simulation
{

class CControlChannel;

RemovalOutcome RunRemoval(const std::wstring& instanceId, RemovalKind kind, DWORD waitMs,
                          CControlChannel* channel);

} // namespace simulation
