#include "simulation/RenderChecker.h"

#include <algorithm>

namespace simulation
{

CRenderChecker::CRenderChecker(size_t framesPerBlock, unsigned latencyBlocks, BlockTransform transform)
    : m_frames(framesPerBlock), m_latency(latencyBlocks), m_transform(std::move(transform)),
      m_expected(framesPerBlock)
{
}

void CRenderChecker::BeginConnection()
{
    m_history.clear();
    m_renderInConnection = 0;
}

void CRenderChecker::OnCapture(const int32_t* block, bool whole)
{
    m_history.push_back({std::vector<int32_t>(block, block + m_frames), whole});
}

void CRenderChecker::Mismatch(int32_t frame)
{
    ++m_mismatches;
    if (m_firstBlock < 0)
    {
        m_firstBlock = static_cast<int32_t>(m_renderTotal);
        m_firstFrame = frame;
    }
}

void CRenderChecker::OnRender(const int32_t* block, size_t bytes)
{
    const uint64_t index = m_renderInConnection++;
    if (index >= m_latency)
    {
        // Render block `index` answers capture block `index - latency`, the oldest one kept.
        if (m_history.empty())
        {
            // The host wrote more blocks than it was given: nothing it could have processed.
            Mismatch(0);
        }
        else
        {
            Sent sent = std::move(m_history.front());
            m_history.pop_front();
            if (sent.whole)
            {
                ++m_checked;
                if (bytes != m_frames * sizeof(int32_t))
                {
                    Mismatch(-1);
                }
                else
                {
                    if (m_transform)
                        m_transform(sent.samples.data(), m_expected.data(), m_frames);
                    else
                        std::copy(sent.samples.begin(), sent.samples.end(), m_expected.begin());
                    const auto diff = std::mismatch(m_expected.begin(), m_expected.end(), block);
                    if (diff.first != m_expected.end())
                        Mismatch(static_cast<int32_t>(diff.first - m_expected.begin()));
                }
            }
        }
    }
    ++m_renderTotal;
}

} // namespace simulation
