#include "simulation/LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace simulation
{

void CLatencyHistogram::Record(uint64_t us)
{
    const size_t bucket = static_cast<size_t>(std::min<uint64_t>(us / kBucketUs, kBuckets));
    ++m_buckets[bucket];
    ++m_count;
    m_max = static_cast<uint32_t>(std::max<uint64_t>(m_max, std::min<uint64_t>(us, UINT32_MAX)));
}

void CLatencyHistogram::Reset()
{
    m_buckets.fill(0);
    m_count = 0;
    m_max = 0;
}

uint32_t CLatencyHistogram::Percentile(double percent) const
{
    if (m_count == 0)
    {
        return 0;
    }
    const auto rank = static_cast<uint64_t>(std::ceil(percent / 100.0 * static_cast<double>(m_count)));
    uint64_t seen = 0;
    for (size_t bucket = 0; bucket <= kBuckets; ++bucket)
    {
        seen += m_buckets[bucket];
        if (seen >= std::max<uint64_t>(rank, 1))
        {
            return bucket == kBuckets ? m_max
                                      : std::min(m_max, static_cast<uint32_t>((bucket + 1) * kBucketUs));
        }
    }
    return m_max;
}

} // namespace simulation
