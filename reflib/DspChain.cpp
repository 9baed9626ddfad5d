#include "reflib/DspChain.h"

#include <algorithm>
#include <cmath>

namespace velmar::reflib
{
std::shared_ptr<const CDspSnapshot> MakeDspSnapshot(const CSettings& settings, double sampleRate)
{
    auto snapshot = std::make_shared<CDspSnapshot>();
    snapshot->settings = settings;
    snapshot->gain = std::pow(10.0, settings.gainDb / 20.0);
    snapshot->coefficients = DesignBiquad(settings.filterType, settings.filterFrequency, settings.filterQ,
                                          settings.filterGainDb, sampleRate);
    return snapshot;
}

CDspChain::CDspChain() : m_delayLine(static_cast<std::size_t>(kMaxDelayFrames), 0.0f) {}

void CDspChain::Process(const float* input, float* output, std::size_t frames, const CDspSnapshot& snapshot,
                        CPeakMeters& meters)
{
    if (!(snapshot.coefficients == m_coefficients))
    {
        m_coefficients = snapshot.coefficients;
        m_filter.Reset();
    }
    const std::int32_t delay = snapshot.settings.delayFrames;
    if (delay != m_delayFrames)
    {
        m_delayFrames = delay;
        std::fill(m_delayLine.begin(), m_delayLine.end(), 0.0f);
        m_delayPosition = 0;
    }
    const bool filtering = snapshot.settings.filterType != FilterType::Bypass;
    const std::size_t lineLength = m_delayLine.size();
    float inputPeak = 0.0f;
    float outputPeak = 0.0f;
    for (std::size_t i = 0; i < frames; ++i)
    {
        float x = input[i];
        inputPeak = std::max(inputPeak, std::fabs(x));
        if (delay > 0)
        {
            const float delayed =
                m_delayLine[(m_delayPosition + lineLength - static_cast<std::size_t>(delay)) % lineLength];
            m_delayLine[m_delayPosition] = x;
            m_delayPosition = (m_delayPosition + 1) % lineLength;
            x = delayed;
        }
        double y = static_cast<double>(x);
        if (filtering)
        {
            y = m_filter.Process(m_coefficients, y);
        }
        const float result = static_cast<float>(snapshot.gain * y);
        outputPeak = std::max(outputPeak, std::fabs(result));
        output[i] = result;
    }
    meters.inputPeak.store(inputPeak, std::memory_order_relaxed);
    meters.outputPeak.store(outputPeak, std::memory_order_relaxed);
    meters.blocks.fetch_add(1, std::memory_order_relaxed);
}
} // namespace velmar::reflib
