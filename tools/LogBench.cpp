// orvane-logbench: what one log call costs on the audio path (VLOG_ASYNC) against a synchronous VLOG
// to the console appender (standard error redirected to a file) and to an appender that drops
// everything; one thread and four threads; and the worst call while the ring is full. Prints a
// Markdown table. Times come from QueryPerformanceCounter (100 ns under Wine).
#include "diagnostics/Appenders.h"
#include "diagnostics/AsyncAppender.h"
#include "diagnostics/AsyncLogThread.h"
#include "diagnostics/Log.h"

#include <plog/Init.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace
{

constexpr int kCalls = 2000;
const std::wstring kName = L"Studio monitor";

class CNullAppender : public plog::IAppender
{
public:
    void write(const plog::Record&) override {}
};

double Microseconds(LONGLONG ticks)
{
    static const LONGLONG frequency = []
    {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return 1e6 * static_cast<double>(ticks) / static_cast<double>(frequency);
}

// Per-call times of `call` on `threads` threads, kCalls each, merged.
std::vector<double> Measure(const std::function<void()>& call, int threads)
{
    std::vector<std::vector<double>> perThread(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
    {
        workers.emplace_back(
            [&, t]
            {
                perThread[t].reserve(kCalls);
                for (int i = 0; i < kCalls; ++i)
                {
                    LARGE_INTEGER before, after;
                    QueryPerformanceCounter(&before);
                    call();
                    QueryPerformanceCounter(&after);
                    perThread[t].push_back(Microseconds(after.QuadPart - before.QuadPart));
                }
            });
    }
    for (auto& worker : workers)
    {
        worker.join();
    }
    std::vector<double> all;
    for (auto& times : perThread)
    {
        all.insert(all.end(), times.begin(), times.end());
    }
    std::sort(all.begin(), all.end());
    return all;
}

void Row(const char* what, int threads, const std::vector<double>& times)
{
    const auto at = [&](double q)
    { return times[static_cast<size_t>(q * static_cast<double>(times.size() - 1))]; };
    std::printf("| %s | %d | %.2f | %.2f | %.2f |\n", what, threads, at(0.5), at(0.99), times.back());
}

} // namespace

int wmain()
{
    CNullAppender drop;
    plog::init<2>(plog::info, &drop);
    plog::init<3>(plog::info, &GetColorConsoleAppender());
    plog::init<0>(plog::info, &drop);
    plog::detail::PrepareAsyncLogPath();

    std::printf("| call | threads | p50 µs | p99 µs | max µs |\n|---|---|---|---|---|\n");
    const auto async = []
    { VLOG_ASYNC(velmar::LogSeverity::Info) << L"Failed to read audio from driver for " << kName; };
    // No drain yet: after 1024 records the ring is full and every call drops its record.
    Row("VLOG_ASYNC, ring full (no drain)", 1, Measure(async, 1));
    {
        AsyncLogThread drain(10);
        Row("VLOG_ASYNC (drained every 10 ms)", 1, Measure(async, 1));
        Row("VLOG_ASYNC (drained every 10 ms)", 4, Measure(async, 4));
    }
    const auto record = []
    {
        plog::Record built(plog::info, "", __LINE__, "", nullptr, 2);
        built << L"Failed to read audio from driver for " << kName;
    };
    Row("plog::Record built and streamed, no appender", 1, Measure(record, 1));
    const auto null = []
    { VLOG_INSTANCE(2, velmar::LogSeverity::Info) << L"Failed to read audio from driver for " << kName; };
    Row("VLOG to an appender that drops", 1, Measure(null, 1));
    Row("VLOG to an appender that drops", 4, Measure(null, 4));
    const auto console = []
    { VLOG_INSTANCE(3, velmar::LogSeverity::Info) << L"Failed to read audio from driver for " << kName; };
    Row("VLOG to the console appender (stderr to a file)", 1, Measure(console, 1));
    Row("VLOG to the console appender (stderr to a file)", 4, Measure(console, 4));
    return 0;
}
