#include "diagnostics/AsyncLogThread.h"

#include "diagnostics/AsyncAppender.h"
#include "platform/Boundary.h"

#include <chrono>

AsyncLogThread::AsyncLogThread(std::int64_t periodMs) : m_periodMs(periodMs)
{
    plog::detail::PrepareAsyncLogPath();
    m_thread = std::thread([this] { Run(); });
}

AsyncLogThread::~AsyncLogThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
    {
        m_thread.join();
    }
}

void AsyncLogThread::Run()
{
    // Thread boundary: a failing appender must not end the process. There is nowhere left to report
    // such a failure but the log that just failed, so the record is given up and draining goes on.
    const auto drain = [] { platform::CatchAtBoundary(&plog::detail::DrainAsyncLog); };
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop)
    {
        lock.unlock();
        drain();
        lock.lock();
        // wait_for measures the period on the steady clock.
        m_wake.wait_for(lock, std::chrono::milliseconds(m_periodMs), [this] { return m_stop; });
    }
    lock.unlock();
    drain();
}
