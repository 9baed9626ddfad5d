#pragma once
// Bounded lock-free queue of log records between any number of writers and the drain thread.
// Sequence-number cells: a cell whose number equals the enqueue position is free for that position, one
// that equals position + 1 holds a published entry. Writers never wait: a full ring drops the record.
#include "diagnostics/ReplayRecord.h"

#include <plog/Appenders/IAppender.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace plog
{
namespace detail
{

constexpr std::size_t AsyncRingCapacity(std::size_t wanted)
{
    std::size_t capacity = 2;
    while (capacity < wanted)
    {
        capacity *= 2;
    }
    return capacity;
}

class AsyncRing
{
public:
    static constexpr std::size_t kCapacity = AsyncRingCapacity(1024);
    static constexpr std::uint64_t kMask = kCapacity - 1;

    AsyncRing();
    AsyncRing(const AsyncRing&) = delete;
    AsyncRing& operator=(const AsyncRing&) = delete;

    // Copies the record into the next free cell; false when the ring is full (the record is dropped).
    bool Enqueue(const Record& record) noexcept;

    // Replays every published entry, oldest first, into target; returns how many were taken out.
    // Taking an entry out cannot fail: its strings are swapped with the drain's own, so the cell is
    // always released and gets buffers back for its next record, and draining allocates nothing.
    // An exception from target leaves the entries not yet taken in the ring. Drains run one at a time.
    std::size_t Drain(IAppender& target);

private:
    struct alignas(64) Cell
    {
        std::atomic<std::uint64_t> sequence{0};
        std::int64_t time = 0;
        std::uint16_t millitm = 0;
        bool valid = false; // false when copying the strings failed; the drain skips the cell
        std::int32_t severity = 0;
        std::uint32_t tid = 0;
        std::uint64_t line = 0;
        const char* file = nullptr;
        std::string func;
        std::wstring message;
    };
    static_assert(sizeof(Cell) == 128, "a ring cell is two cache lines");

    struct alignas(64) Position
    {
        std::atomic<std::uint64_t> value{0};
    };

    Position m_enqueue;
    Position m_dequeue;
    Cell m_cells[kCapacity];
    std::mutex m_drainMutex;
    AsyncEntry m_drained; // the entry being replayed; its buffers circulate through the cells
};

} // namespace detail
} // namespace plog
