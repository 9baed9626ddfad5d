#pragma once
// The audio clock of one channel: capture block k is due at anchor + k * period on a steady clock, so
// waiting for each slot does not accumulate drift. When the host's block comes more than half a
// period after its slot, the block is late: it is answered at once and the clock is re-anchored
// there, so the host never gets a burst of blocks to catch up.
#include <chrono>
#include <cstdint>

namespace simulation
{

class CAudioClock
{
public:
    using Clock = std::chrono::steady_clock;

    explicit CAudioClock(Clock::duration period) : m_period(period) {}

    struct Slot
    {
        Clock::time_point due; // send at (or, when in the past, at once)
        bool late;
    };

    // The connection starts now: the first block is due one period later.
    void Start(Clock::time_point now);
    // The host's block arrived at `now`: when to answer it.
    Slot Next(Clock::time_point now);

    Clock::duration Period() const { return m_period; }

private:
    Clock::duration m_period;
    Clock::time_point m_anchor{};
    int64_t m_index = 0;
};

} // namespace simulation
