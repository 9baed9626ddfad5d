#include "diagnostics/AsyncRing.h"

#include <new>

namespace plog
{
namespace detail
{

AsyncRing::AsyncRing()
{
    for (std::size_t index = 0; index < kCapacity; ++index)
    {
        m_cells[index].sequence.store(index, std::memory_order_relaxed);
        // Room for a typical line now, so later writes mostly reuse the buffers.
        m_cells[index].func.reserve(16);
        m_cells[index].message.reserve(64);
    }
    // The drain's buffers go to the first cell it takes out, so they get the same room.
    m_drained.func.reserve(16);
    m_drained.message.reserve(64);
}

bool AsyncRing::Enqueue(const Record& record) noexcept
{
    const char* func = "";
    const wchar_t* message = L"";
    try
    {
        func = record.getFunc();
        message = record.getMessage();
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }

    std::uint64_t position = m_enqueue.value.load(std::memory_order_relaxed);
    for (;;)
    {
        Cell& cell = m_cells[position & kMask];
        const std::uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<std::int64_t>(sequence - position);
        if (difference == 0)
        {
            if (m_enqueue.value.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
            {
                cell.time = static_cast<std::int64_t>(record.getTime().time);
                cell.millitm = record.getTime().millitm;
                cell.severity = static_cast<std::int32_t>(record.getSeverity());
                cell.tid = record.getTid();
                cell.line = record.getLine();
                cell.file = record.getFile();
                try
                {
                    cell.func.assign(func);
                    cell.message.assign(message);
                    cell.valid = true;
                }
                catch (const std::bad_alloc&)
                {
                    // The cell must still be published, or the ring would stall at this position.
                    cell.valid = false;
                }
                cell.sequence.store(position + 1, std::memory_order_release);
                return true;
            }
            // position now holds the value the swap found
        }
        else if (difference > 0)
        {
            position = m_enqueue.value.load(std::memory_order_relaxed);
        }
        else
        {
            return false;
        }
    }
}

std::size_t AsyncRing::Drain(IAppender& target)
{
    const std::lock_guard<std::mutex> lock(m_drainMutex);
    std::size_t count = 0;
    std::uint64_t position = m_dequeue.value.load(std::memory_order_relaxed);
    for (;;)
    {
        Cell& cell = m_cells[position & kMask];
        const std::uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<std::int64_t>(sequence - (position + 1));
        if (difference == 0)
        {
            if (m_dequeue.value.compare_exchange_weak(position, position + 1, std::memory_order_relaxed))
            {
                // Nothing between the swap of the position and the release of the cell can throw.
                const bool valid = cell.valid;
                m_drained.time = cell.time;
                m_drained.millitm = cell.millitm;
                m_drained.severity = cell.severity;
                m_drained.tid = cell.tid;
                m_drained.line = cell.line;
                m_drained.file = cell.file;
                m_drained.func.swap(cell.func);
                m_drained.message.swap(cell.message);
                cell.sequence.store(position + kCapacity, std::memory_order_release);
                ++count;
                if (valid)
                {
                    ReplayRecord replay(m_drained);
                    target.write(replay);
                }
                position = m_dequeue.value.load(std::memory_order_relaxed);
            }
        }
        else if (difference > 0)
        {
            position = m_dequeue.value.load(std::memory_order_relaxed);
        }
        else
        {
            return count;
        }
    }
}

} // namespace detail
} // namespace plog
