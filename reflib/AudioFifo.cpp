#include "reflib/AudioFifo.h"

namespace velmar::reflib
{
CAudioFifo::CAudioFifo(std::size_t chunkFrames, std::size_t capacity)
    : m_chunkFrames(chunkFrames), m_capacity(capacity), m_processed(chunkFrames)
{
    m_pending.reserve(chunkFrames);
}

bool CAudioFifo::Add(const float* samples, std::size_t frames, const ProcessChunk& process)
{
    const std::size_t completed = (m_pending.size() + frames) / m_chunkFrames;
    if (m_output.size() + completed * m_chunkFrames > m_capacity)
    {
        return false;
    }
    for (std::size_t i = 0; i < frames; ++i)
    {
        m_pending.push_back(samples != nullptr ? samples[i] : 0.0f);
        if (m_pending.size() == m_chunkFrames)
        {
            process(m_pending.data(), m_processed.data());
            m_output.insert(m_output.end(), m_processed.begin(), m_processed.end());
            m_pending.clear();
        }
    }
    return true;
}

std::size_t CAudioFifo::Take(float* destination, std::size_t frames)
{
    const std::size_t count = frames < m_output.size() ? frames : m_output.size();
    for (std::size_t i = 0; i < count; ++i)
    {
        destination[i] = m_output.front();
        m_output.pop_front();
    }
    return count;
}
} // namespace velmar::reflib
