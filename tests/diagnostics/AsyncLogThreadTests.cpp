// The asynchronous path end to end: VLOG_ASYNC -> plog::Logger<1> -> ring -> drain thread -> plog::Logger<0>.
// plog::Logger<1> is created once per process, so the first test here is the one that creates it.
#include "LogCapture.h"
#include "diagnostics/TxtFormatter.h"

#include "diagnostics/AsyncAppender.h"
#include "diagnostics/AsyncLogThread.h"
#include "diagnostics/Log.h"
#include "diagnostics/ThreadLabel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{

using velmar::LogSeverity;

// Waits (bounded) until the capture holds at least count records.
bool WaitForRecords(CLogCapture& capture, std::size_t count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (capture.Lines().size() < count)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(AsyncLogThreadTest, FirstConstructionCreatesLoggerOneWithTheDefaultLoggersSeverity)
{
    EXPECT_EQ(plog::get<1>(), nullptr);
    EXPECT_EQ(plog::detail::ProcessAsyncRing(), nullptr);
    // Before the path exists, async logging is a no-op.
    VLOG_ASYNC(LogSeverity::Fatal) << L"nowhere";

    CLogCapture capture(&velmar::TxtFormatter::format);
    plog::Logger<0> logger(velmar::ToPlog(LogSeverity::Verb2));
    logger.addAppender(&capture);
    {
        AsyncLogThread drain(10);
        ASSERT_NE(plog::get<1>(), nullptr);
        EXPECT_EQ(static_cast<int>(plog::get<1>()->getMaxSeverity()), 6);
        EXPECT_NE(plog::detail::ProcessAsyncRing(), nullptr);

        VLOG_ASYNC(LogSeverity::Verb3) << L"too verbose";
        VLOG_ASYNC(LogSeverity::Verb2) << L"verb2";
        VLOG_ASYNC(LogSeverity::None) << L"none";
        ASSERT_TRUE(WaitForRecords(capture, 2));
    }
    const auto records = capture.Lines();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, L"verb2");
    EXPECT_EQ(records[1].message, L"none");

    // A second drain object reuses the same logger and ring.
    plog::Logger<1>* first = plog::get<1>();
    AsyncLogThread again(10);
    EXPECT_EQ(plog::get<1>(), first);
}

TEST(AsyncLogThreadTest, RecordsKeepCreationTimeAndAreFormattedWithoutTheWritersLabel)
{
    CLogCapture capture(&velmar::TxtFormatter::format);
    plog::Logger<0> logger(velmar::ToPlog(LogSeverity::Debug));
    logger.addAppender(&capture);
    AsyncLogThread drain(10);

    plog::util::Time before{};
    plog::util::Time after{};
    std::thread audio(
        [&]
        {
            SetThreadLabel(L"Speakers");
            plog::util::ftime(&before);
            VLOG_ASYNC(LogSeverity::Info) << L"Failed to read audio from driver for " << L"Speakers";
            plog::util::ftime(&after);
        });
    audio.join();
    ASSERT_TRUE(WaitForRecords(capture, 1));

    const auto record = capture.Lines().at(0);
    const auto stamp = [](std::int64_t seconds, unsigned ms) { return seconds * 1000 + ms; };
    const auto created = stamp(record.time, record.millitm);
    EXPECT_GE(created, stamp(before.time, before.millitm));
    EXPECT_LE(created, stamp(after.time, after.millitm));
    EXPECT_EQ(record.formatted.substr(24), L"INFO  Failed to read audio from driver for Speakers\n");
}

TEST(AsyncLogThreadTest, DestructionDrainsWhatWasLeft)
{
    CLogCapture capture(&velmar::TxtFormatter::format);
    plog::Logger<0> logger(velmar::ToPlog(LogSeverity::Debug));
    logger.addAppender(&capture);
    {
        // A period far longer than the test: once the thread's first drain has passed (it runs when
        // the thread starts, at a moment the test cannot observe), only the last drain on destruction
        // can deliver what is enqueued now.
        AsyncLogThread drain(600000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        VLOG_ASYNC(LogSeverity::Warn) << L"first";
        VLOG_ASYNC(LogSeverity::Warn) << L"second";
    }
    const auto records = capture.Lines();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, L"first");
    EXPECT_EQ(records[1].message, L"second");
}

TEST(AsyncLogThreadTest, WithoutTheDefaultLoggerEntriesStayQueued)
{
    {
        AsyncLogThread drain(1);
        VLOG_ASYNC(LogSeverity::Error) << L"kept";
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(plog::detail::DrainAsyncLog(), 0u);
    }
    CLogCapture capture(&velmar::TxtFormatter::format);
    plog::Logger<0> logger(velmar::ToPlog(LogSeverity::Debug));
    logger.addAppender(&capture);
    EXPECT_EQ(plog::detail::DrainAsyncLog(), 1u);
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0].message, L"kept");
}

} // namespace
