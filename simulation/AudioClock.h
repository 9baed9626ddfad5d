#pragma once
// The audio clock of one channel: capture block k is due at anchor + k * period on a steady clock, so
// waiting for each slot does not accumulate drift. When the host's block comes more than half a
// period after its slot, the block is late: it is answered at once and the clock is re-anchored
// there, so the host never gets a burst of blocks to catch up; the audio time skipped is the glitch.
// A slow device runs its clock at period x factor.
#include <chrono>
#include <cstdint>

namespace simulation
{

class CAudioClock
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CAudioClock(Clock::duration period) : m_period(period), m_base(period) {}

    struct Slot
    {
        Clock::time_point due; // send at (or, when in the past, at once)
        bool late;
        Clock::duration skipped; // late: how far behind its slot the host was
    };

    // The connection starts now: the first block is due one period later.
    void Start(Clock::time_point now);
    // The host's block arrived at `now`: when to answer it.
    Slot Next(Clock::time_point now);
    // The clock runs `factor` times slower from the next slot on (1 = the audio rate).
    void SetSlowFactor(double factor);

    Clock::duration Period() const { return m_period; }

private:
    Clock::duration m_period;
    Clock::duration m_base;
    Clock::time_point m_anchor{};
    int64_t m_index = 0;
};

} // namespace simulation
