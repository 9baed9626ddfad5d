#pragma once
// The DSP chain of a process, per sample:  x -> delay (delay_frames) -> biquad -> * gain -> y
// with gain = 10^(gain_db/20) (both in double precision; the result is rounded to float once).
// With the default settings (no delay, filter bypassed, 0 dB) every sample passes unchanged.
// The filter state is cleared when the filter's coefficients change, the delay line when the delay
// changes; a change of the gain alone keeps both.
#include "reflib/Biquad.h"
#include "reflib/Settings.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velmar::reflib
{
// The immutable form of the settings that the audio path reads (published as a whole).
struct CDspSnapshot
{
    CSettings settings;
    double gain = 1.0;
    CBiquadCoefficients coefficients;
};

std::shared_ptr<const CDspSnapshot> MakeDspSnapshot(const CSettings& settings, double sampleRate);

// Peak meters of the last processed block (absolute sample values, 1.0 = full scale) and the number
// of processed blocks; written by the audio path, read by anyone.
struct CPeakMeters
{
    std::atomic<float> inputPeak{0.0f};
    std::atomic<float> outputPeak{0.0f};
    std::atomic<std::uint64_t> blocks{0};
};

class CDspChain
{
public:
    CDspChain();

    // `input` and `output` may be the same buffer.
    void Process(const float* input, float* output, std::size_t frames, const CDspSnapshot& snapshot,
                 CPeakMeters& meters);

private:
    CBiquad m_filter;
    CBiquadCoefficients m_coefficients;
    std::vector<float> m_delayLine;
    std::size_t m_delayPosition = 0;
    std::int32_t m_delayFrames = 0;
};
} // namespace velmar::reflib
