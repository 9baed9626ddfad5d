#pragma once
// What the device world has seen of one device: its channel (blocks, the stream check, timing, faults
// injected) and what happened around it (removals, the host's failed transfers, rule violations).
#include <cstdint>

namespace simulation
{

struct DeviceStatistics
{
    // The channel, counted by the serving world.
    uint32_t connections = 0;
    uint32_t blocksRead = 0;         // blocks the host wrote (render path)
    uint32_t blocksWritten = 0;      // blocks the host read (capture path)
    uint32_t lateBlocks = 0;         // host blocks that came more than half a block after their slot
    uint32_t shortReadsInjected = 0; // capture blocks deliberately sent short
    uint32_t blocksChecked = 0;      // render blocks compared with the expectation
    uint32_t mismatches = 0;         // render blocks that differed (or had the wrong size)
    int32_t firstMismatchBlock = -1; // render block index (since the last reset), -1 none
    int32_t firstMismatchFrame = -1; // frame within that block, -1 for a size mismatch or none
    // A capture block handed to the host until the render block that answers it arrived.
    uint32_t turnaroundP50Us = 0;
    uint32_t turnaroundP99Us = 0;
    uint32_t turnaroundMaxUs = 0;
    uint32_t worldLateMaxUs = 0; // the world's own lateness: actual send time minus due time
    uint64_t glitchUs = 0;       // audio time skipped when the clock re-anchored after a late host
    uint32_t silenceUs = 0;      // audio time without a host between connections (beyond one block)
    uint32_t firstCheckUs = 0;   // the device's start until its first checked block, 0 none yet
    uint32_t stallsInjected = 0;
    // Counted where they happen (any process) and kept in the shared store.
    uint32_t failedTransfers = 0;    // host reads and writes that failed (not cancelled)
    uint32_t cancelledTransfers = 0; // host reads and writes ended by CancelIoEx
    uint32_t failedReadsInjected = 0;
    uint32_t failedWritesInjected = 0;
    uint32_t vetoesOpenHandle = 0;     // query-remove failed: a handle was open after the callbacks returned
    uint32_t vetoesWorld = 0;          // query-remove failed: the device refused
    uint32_t vetoesCallback = 0;       // query-remove failed: a callback returned an error
    uint32_t lateRemovals = 0;         // handle closed only in the grace period after the callbacks
    uint32_t unregisterInCallback = 0; // CM_Unregister_Notification from that registration's callback
};

} // namespace simulation
