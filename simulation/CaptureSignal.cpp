#include "simulation/CaptureSignal.h"

namespace simulation
{

int32_t CCaptureSignal::Sample(uint32_t salt, uint64_t frame)
{
    // splitmix64 of (salt, frame): well spread, cheap, the same in every process.
    uint64_t x = frame + (static_cast<uint64_t>(salt) << 40) + 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<int32_t>(static_cast<uint32_t>(x >> 32) & 0xFFFFFF00u);
}

void CCaptureSignal::Fill(uint64_t firstFrame, int32_t* out, size_t frames) const
{
    for (size_t i = 0; i < frames; ++i)
    {
        out[i] = Sample(firstFrame + i);
    }
}

} // namespace simulation
