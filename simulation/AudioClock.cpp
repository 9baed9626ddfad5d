#include "simulation/AudioClock.h"

namespace simulation
{

void CAudioClock::Start(Clock::time_point now)
{
    m_anchor = now;
    m_index = 0;
}

CAudioClock::Slot CAudioClock::Next(Clock::time_point now)
{
    ++m_index;
    const Clock::time_point due = m_anchor + m_period * m_index;
    if (now > due + m_period / 2)
    {
        m_anchor = now;
        m_index = 0;
        return {now, true};
    }
    return {due, false};
}

} // namespace simulation
