#include "diagnostics/AsyncLogThread.h"

#include "diagnostics/AsyncAppender.h"

#include <chrono>

AsyncLogThread::AsyncLogThread(std::int64_t periodMs) : m_periodMs(periodMs)
{
    plog::detail::PrepareAsyncLogPath();
    m_thread = std::thread([this] { Run(); });
}

AsyncLogThread::~AsyncLogThread()
{
    m_stop.store(true);
    if (m_thread.joinable())
    {
        m_thread.join();
    }
}

void AsyncLogThread::Run()
{
    // Thread boundary: a failing appender must not end the process. There is nowhere left to report
    // such a failure but the log that just failed, so the record is given up and draining goes on.
    const auto drain = []
    {
        try
        {
            plog::detail::DrainAsyncLog();
        }
        catch (...)
        {
        }
    };
    while (!m_stop.load())
    {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(m_periodMs));
    }
    drain();
}
