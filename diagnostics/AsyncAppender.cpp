#include "diagnostics/AsyncAppender.h"

#include "diagnostics/AsyncRing.h"

#include <plog/Init.h>

#include <atomic>
#include <mutex>

namespace plog
{
namespace detail
{
namespace
{
std::atomic<AsyncRing*> g_ring{nullptr};
}

AsyncRing* ProcessAsyncRing() noexcept
{
    return g_ring.load(std::memory_order_acquire);
}

void PrepareAsyncLogPath()
{
    static std::once_flag once;
    std::call_once(once,
                   []
                   {
                       // Function-local statics in this order are destroyed in the reverse one at exit: the
                       // logger first, so late log calls find no logger, then the appender, then the ring.
                       static AsyncRing ring;
                       AsyncAppender& appender = GetAsyncAppender();
                       const Logger<0>* main = get<0>();
                       init<1>(main != nullptr ? main->getMaxSeverity() : none, &appender);
                       g_ring.store(&ring, std::memory_order_release);
                   });
}

std::size_t DrainAsyncLog()
{
    AsyncRing* ring = ProcessAsyncRing();
    Logger<0>* main = get<0>();
    if (ring == nullptr || main == nullptr)
    {
        return 0;
    }
    return ring->Drain(*main);
}

} // namespace detail

void AsyncAppender::write(const Record& record)
{
    if (detail::AsyncRing* ring = detail::ProcessAsyncRing())
    {
        ring->Enqueue(record);
    }
}

AsyncAppender& GetAsyncAppender()
{
    static AsyncAppender appender;
    return appender;
}

} // namespace plog
