#pragma once
// The drain thread of the asynchronous log path, owned by the main routine for one processing run.
// Construction prepares the path on first use (plog::Logger<1>, its AsyncAppender, the ring) and starts
// a thread that replays the ring into plog::Logger<0> every period; destruction drains once more and joins.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class AsyncLogThread
{
public:
    explicit AsyncLogThread(std::int64_t periodMs);
    ~AsyncLogThread();
    AsyncLogThread(const AsyncLogThread&) = delete;
    AsyncLogThread& operator=(const AsyncLogThread&) = delete;

private:
    void Run();

    std::int64_t m_periodMs;
    std::mutex m_mutex;
    std::condition_variable m_wake; // the pause between drains ends early when the stop flag is set
    bool m_stop = false;
    std::thread m_thread;
};
