#pragma once
// What the host is expected to do to the capture stream before it writes it back: multiply by an exact
// gain, then delay by a number of frames. Written as text, "identity", "gain=0.5", "delay=48" or
// combined "gain=0.5,delay=48" (the order of the parts does not matter).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace simulation
{

inline constexpr uint32_t kMaxExpectedDelayFrames = 48000;

struct StreamExpectation
{
    double gain = 1.0;
    uint32_t delayFrames = 0;

    bool operator==(const StreamExpectation& other) const
    {
        return gain == other.gain && delayFrames == other.delayFrames;
    }
};

// Nothing for text that is not an expectation (unknown part, bad number, delay above the maximum).
std::optional<StreamExpectation> ParseExpectation(std::wstring_view text);
// The canonical text: "identity" or the parts that differ from it.
std::wstring ExpectationText(const StreamExpectation& expectation);

} // namespace simulation
