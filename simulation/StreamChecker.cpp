#include "simulation/StreamChecker.h"

#include <cmath>
#include <limits>

namespace simulation
{

namespace
{

uint64_t PowerOfTwoAtLeast(uint64_t value)
{
    uint64_t size = 1;
    while (size < value)
    {
        size <<= 1;
    }
    return size;
}

} // namespace

CStreamChecker::CStreamChecker(size_t framesPerBlock, unsigned latencyBlocks)
    : m_frames(framesPerBlock), m_latencyBlocks(latencyBlocks)
{
    const uint64_t size = PowerOfTwoAtLeast(static_cast<uint64_t>(latencyBlocks + 2) * framesPerBlock +
                                            kMaxExpectedDelayFrames);
    m_ring.assign(size, 0);
    m_judged.assign(size, 0);
    m_mask = size - 1;
}

void CStreamChecker::BeginConnection()
{
    m_captured = 0;
    m_renderBlocks = 0;
    m_validFrom = 0;
}

void CStreamChecker::SetExpectation(const StreamExpectation& expectation)
{
    m_expectation = expectation;
    m_validFrom = m_captured;
}

void CStreamChecker::ResetFigures()
{
    m_renderTotal = 0;
    m_checked = 0;
    m_mismatches = 0;
    m_firstBlock = -1;
    m_firstFrame = -1;
}

void CStreamChecker::OnCapture(const int32_t* block, bool whole)
{
    for (size_t i = 0; i < m_frames; ++i)
    {
        const uint64_t at = (m_captured + i) & m_mask;
        m_ring[at] = block[i];
        m_judged[at] = whole ? 1 : 0;
    }
    m_captured += m_frames;
}

void CStreamChecker::Mismatch(int32_t frame)
{
    ++m_mismatches;
    if (m_firstBlock < 0)
    {
        m_firstBlock = static_cast<int32_t>(m_renderTotal);
        m_firstFrame = frame;
    }
}

int32_t CStreamChecker::Expected(int32_t captured) const
{
    if (m_expectation.gain == 1.0)
    {
        return captured;
    }
    const double value = std::nearbyint(m_expectation.gain * static_cast<double>(captured));
    if (value >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

void CStreamChecker::OnRender(const int32_t* block, size_t bytes)
{
    const uint64_t index = m_renderBlocks++;
    const uint64_t firstFrame = index * m_frames;
    const uint64_t lag = static_cast<uint64_t>(m_latencyBlocks) * m_frames + m_expectation.delayFrames;
    if (index >= m_latencyBlocks)
    {
        if (bytes != m_frames * sizeof(int32_t))
        {
            ++m_checked;
            Mismatch(-1);
        }
        else
        {
            bool judged = false;
            int32_t differs = -1;
            for (size_t i = 0; i < m_frames; ++i)
            {
                const uint64_t frame = firstFrame + i;
                if (frame < lag || frame - lag < m_validFrom)
                {
                    continue;
                }
                const uint64_t source = frame - lag;
                if (source >= m_captured)
                {
                    // More written than the host was given: nothing it could have processed.
                    judged = true;
                    differs = static_cast<int32_t>(i);
                    break;
                }
                if (m_captured - source > m_ring.size() || !m_judged[source & m_mask])
                {
                    continue;
                }
                judged = true;
                if (block[i] != Expected(m_ring[source & m_mask]))
                {
                    differs = static_cast<int32_t>(i);
                    break;
                }
            }
            if (judged)
            {
                ++m_checked;
            }
            if (differs >= 0)
            {
                Mismatch(differs);
            }
        }
    }
    ++m_renderTotal;
}

} // namespace simulation
