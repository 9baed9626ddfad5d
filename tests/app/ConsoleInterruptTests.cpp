#include "app/ConsoleInterrupt.h"
#include "platform/Event.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"
#include "LogCapture.h"

#include <gtest/gtest.h>
#include <plog/Log.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

bool StopEventSet()
{
    return WaitForSingleObject(StopEvent().Handle(), 0) == WAIT_OBJECT_0;
}

BOOL WINAPI FailSetEvent(HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

PHANDLER_ROUTINE g_registeredHandler = nullptr;
BOOL g_registeredAdd = FALSE;

BOOL WINAPI RecordCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    g_registeredHandler = handler;
    g_registeredAdd = add;
    return TRUE;
}

class ConsoleInterruptTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_log = &CLogCapture::Fresh();
        ResetEvent(StopEvent().Handle());
    }
    void TearDown() override
    {
        plog::get<0>()->setMaxSeverity(static_cast<plog::Severity>(10));
        ResetEvent(StopEvent().Handle());
    }
    CLogCapture* m_log = nullptr;
};

TEST_F(ConsoleInterruptTest, SetsTheStopEventAndKeepsTheProcess)
{
    EXPECT_EQ(ConsoleInterruptHandler(CTRL_C_EVENT), TRUE);
    EXPECT_TRUE(StopEventSet());
    const std::vector<LogLine> lines = m_log->Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, 9);
    EXPECT_EQ(lines[0].message, L"Interrupt Caught, leaving");

    // Closing the console stops the run too and returns once the run has ended; a control type that
    // is not ours goes to the next handler.
    RunEndedEvent().Set();
    EXPECT_EQ(ConsoleInterruptHandler(CTRL_CLOSE_EVENT), TRUE);
    EXPECT_TRUE(StopEventSet());
    ResetEvent(RunEndedEvent().Handle());
    ResetEvent(StopEvent().Handle());
    EXPECT_EQ(ConsoleInterruptHandler(7), FALSE);
    EXPECT_FALSE(StopEventSet());
}

TEST_F(ConsoleInterruptTest, LogsOnlyAtVerb5)
{
    plog::get<0>()->setMaxSeverity(static_cast<plog::Severity>(8));
    EXPECT_EQ(ConsoleInterruptHandler(CTRL_BREAK_EVENT), TRUE);
    EXPECT_TRUE(StopEventSet());
    EXPECT_TRUE(m_log->Take().empty());
}

TEST_F(ConsoleInterruptTest, FailedStopEventIsLoggedAndLeftToTheDefaultHandler)
{
    CApiOverride guard(platform::Api().SetEvent, &FailSetEvent);
    EXPECT_EQ(ConsoleInterruptHandler(CTRL_C_EVENT), FALSE);
    const std::vector<LogLine> lines = m_log->Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].severity, 1);
    EXPECT_EQ(lines[0].message.rfind(L"Console interrupt failed: Cannot open set event: 5 ", 0), 0u)
        << lines[0].message;
}

TEST_F(ConsoleInterruptTest, NothingLeavesIntoTheSystemThreadWhenLoggingFails)
{
    m_log->FailWrites(true);
    EXPECT_EQ(ConsoleInterruptHandler(CTRL_C_EVENT), TRUE); // the log failed, the run still stops
    EXPECT_TRUE(StopEventSet());
    ResetEvent(StopEvent().Handle());
    CApiOverride guard(platform::Api().SetEvent, &FailSetEvent);
    EXPECT_EQ(ConsoleInterruptHandler(CTRL_C_EVENT), FALSE); // and the failure report failed too
    m_log->FailWrites(false);
    EXPECT_TRUE(m_log->Take().empty());
}

TEST_F(ConsoleInterruptTest, RegistersItselfToBeAdded)
{
    CApiOverride guard(platform::Api().SetConsoleCtrlHandler, &RecordCtrlHandler);
    EXPECT_TRUE(InstallConsoleInterruptHandler());
    EXPECT_EQ(g_registeredHandler, &ConsoleInterruptHandler);
    EXPECT_EQ(g_registeredAdd, TRUE);
}

TEST_F(ConsoleInterruptTest, ConcurrentEventsAllSucceed)
{
    constexpr int kThreads = 4;
    constexpr int kCalls = 50;
    std::atomic<int> handled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&handled]
            {
                for (int i = 0; i < kCalls; ++i)
                {
                    if (ConsoleInterruptHandler(CTRL_C_EVENT) == TRUE)
                    {
                        ++handled;
                    }
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    EXPECT_EQ(handled.load(), kThreads * kCalls);
    EXPECT_TRUE(StopEventSet());
    EXPECT_EQ(m_log->Take().size(), static_cast<std::size_t>(kThreads * kCalls));
}

} // namespace
