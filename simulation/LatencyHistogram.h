#pragma once
// A fixed histogram of durations in microseconds (10 µs buckets up to 200 ms, one bucket above), so
// that recording on a streaming thread never allocates. Percentiles are read from the buckets: the
// upper edge of the bucket that holds the rank, and the exact maximum.
#include <array>
#include <cstdint>

namespace simulation
{

class CLatencyHistogram
{
public:
    void Record(uint64_t us);
    void Reset();
    // The value below which `percent` of the recorded durations lie; 0 when nothing was recorded.
    uint32_t Percentile(double percent) const;
    uint32_t Max() const { return m_max; }
    uint64_t Count() const { return m_count; }

private:
    static constexpr uint32_t kBucketUs = 10;
    static constexpr size_t kBuckets = 20000;
    std::array<uint32_t, kBuckets + 1> m_buckets{};
    uint64_t m_count = 0;
    uint32_t m_max = 0;
};

} // namespace simulation
