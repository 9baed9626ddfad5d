#pragma once
// The asynchronous log path: plog::Logger<1> has this one appender, which only copies the record into
// the process's ring; the drain thread (AsyncLogThread) replays the ring into plog::Logger<0>.
#include <plog/Appenders/IAppender.h>

#include <cstddef>

namespace plog
{

namespace detail
{
class AsyncRing;

// The process's ring, or null until the first AsyncLogThread has created it.
AsyncRing* ProcessAsyncRing() noexcept;

// Creates the ring and plog::Logger<1> (maximum severity copied from plog::Logger<0>, none when that
// does not exist) with the AsyncAppender, once per process.
void PrepareAsyncLogPath();

// Replays what the process's ring holds into plog::Logger<0>. 0 at once when the ring or the logger does
// not exist; the entries then stay queued.
std::size_t DrainAsyncLog();
} // namespace detail

class AsyncAppender : public IAppender
{
public:
    // Enqueues into the process's ring; does nothing before the ring exists, drops when it is full.
    void write(const Record& record) override;
};

AsyncAppender& GetAsyncAppender();

} // namespace plog
