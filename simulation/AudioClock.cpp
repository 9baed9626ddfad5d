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
        return {now, true, now - due};
    }
    return {due, false, Clock::duration::zero()};
}

void CAudioClock::SetSlowFactor(double factor)
{
    const auto period = std::chrono::duration_cast<Clock::duration>(m_base * (factor < 1.0 ? 1.0 : factor));
    if (period == m_period)
    {
        return;
    }
    // Keep the slot just passed where it was; the following ones use the new period.
    m_anchor += m_period * m_index;
    m_index = 0;
    m_period = period;
}

} // namespace simulation
