#pragma once
// What the driver side of one device's control channel has seen.
#include <cstdint>

namespace simulation
{

struct DeviceStatistics
{
    uint32_t connections = 0;
    uint32_t blocksRead = 0;         // blocks the host wrote (render path)
    uint32_t blocksWritten = 0;      // blocks the host read (capture path)
    uint32_t lateBlocks = 0;         // host blocks that came after their slot
    uint32_t shortReadsInjected = 0; // capture blocks deliberately sent short
    uint32_t blocksChecked = 0;      // render blocks compared with the expectation
    uint32_t mismatches = 0;         // render blocks that differed (or had the wrong size)
    int32_t firstMismatchBlock = -1; // render block index (over the device's life), -1 none
    int32_t firstMismatchFrame = -1; // frame within that block, -1 for a size mismatch or none
};

} // namespace simulation
