// The library log bridge: what the library is told, which of its reports reach plog::Logger<0>, and
// that they arrive on the reporting thread, unchanged but for their control characters.
#include "diagnostics/Log.h"
#include "diagnostics/ThreadLabel.h"
#include "diagnostics/TxtFormatter.h"
#include "library/DynLoader.h"
#include "library/LibraryLogBridge.h"

#include "LogCapture.h"

#include <gtest/gtest.h>
#include <plog/Appenders/IAppender.h>
#include <plog/Logger.h>

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>
#include <windows.h>

namespace
{

// The library may report while static objects are destroyed at exit: the sink must have no destructor.
static_assert(
    std::is_trivially_destructible_v<std::remove_reference_t<decltype(velmar::LibraryLogSinkSlot())>>);

// The library side, as the bridge sees it through the loader's members.
struct CFakeLibrary
{
    std::vector<std::string> calls;
    VelmarLogCallback callback = nullptr;
    std::int32_t severity = -1;
    bool reportDuringRegistration = false;
};

CFakeLibrary g_library;

void VELMAR_CALL FakeSetLoggerCallback(VelmarLogCallback callback)
{
    g_library.calls.push_back("SetLoggerCallback");
    g_library.callback = callback;
    if (g_library.reportDuringRegistration)
    {
        callback(4, "reported while registering");
    }
}

void VELMAR_CALL FakeSetLogSeverity(std::int32_t severity)
{
    g_library.calls.push_back("SetLogSeverity");
    g_library.severity = severity;
}

class CLibraryLogBridgeTest : public ::testing::Test
{
protected:
    CLibraryLogBridgeTest()
    {
        g_library = CFakeLibrary{};
        velmar::LibraryLogSinkSlot().store(nullptr);
        m_loader.SetLoggerCallback = &FakeSetLoggerCallback;
        m_loader.SetLogSeverity = &FakeSetLogSeverity;
    }

    ~CLibraryLogBridgeTest() override { velmar::LibraryLogSinkSlot().store(nullptr); }

    // plog::Logger<0> as the main routine makes it: the maximum severity is 4 plus the number of -v.
    void MakeLogger(int maxSeverity)
    {
        m_logger.emplace(static_cast<plog::Severity>(maxSeverity));
        m_logger->addAppender(&m_capture);
    }

    void Report(std::int32_t severity, const char* text)
    {
        ASSERT_NE(g_library.callback, nullptr);
        g_library.callback(severity, text);
    }

    CLogCapture m_capture{&velmar::TxtFormatter::format};
    std::optional<plog::Logger<0>> m_logger;
    velmar::helper::CDynLoader m_loader;
};

TEST_F(CLibraryLogBridgeTest, InstallsCallbackThenSeverity)
{
    MakeLogger(4);
    g_library.reportDuringRegistration = true;
    InstallLibraryLogBridge(m_loader);
    EXPECT_EQ(g_library.calls, (std::vector<std::string>{"SetLoggerCallback", "SetLogSeverity"}));
    EXPECT_EQ(g_library.callback, &velmar::LibraryLogCallback);
    // The sink was in place before the library got the callback.
    const auto records = m_capture.Lines();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, L"reported while registering");
}

TEST_F(CLibraryLogBridgeTest, LibraryIsToldTheVerbosityAndOnlyWhatPassesIsLogged)
{
    struct CCase
    {
        int maxSeverity; // 4 plus the number of -v (11: seven -v); 0 from a logger made elsewhere
        int told;
        std::vector<int> logged; // of the reports 2, 4, 5, 9, 10
    };
    const CCase cases[] = {
        {4, 4, {2, 4}},         // no -v: INFO logged, VERB dropped
        {5, 5, {2, 4, 5}},      // -v
        {10, 10, {2, 4, 5, 9}}, // six -v: DEBUG reports are still not logged
        {0, 4, {}},             // only NONE passes
        {11, 4, {2, 4, 5, 9}},  // beyond DEBUG: told INFO
    };
    for (const CCase& test : cases)
    {
        SCOPED_TRACE(test.maxSeverity);
        m_capture.Clear();
        MakeLogger(test.maxSeverity);
        InstallLibraryLogBridge(m_loader);
        EXPECT_EQ(g_library.severity, test.told);
        for (int severity : {2, 4, 5, 9, 10})
        {
            Report(severity, ("report " + std::to_string(severity)).c_str());
        }
        std::vector<int> logged;
        for (const LogLine& record : m_capture.Lines())
        {
            EXPECT_EQ(record.message, L"report " + std::to_wstring(record.severity));
            logged.push_back(record.severity);
        }
        EXPECT_EQ(logged, test.logged);
        m_logger.reset();
    }
}

TEST_F(CLibraryLogBridgeTest, WithoutLoggerTheLibraryIsToldInfoAndReportsVanish)
{
    InstallLibraryLogBridge(m_loader);
    EXPECT_EQ(g_library.severity, 4);
    EXPECT_NO_THROW(Report(0, "nobody listens"));
    EXPECT_TRUE(m_capture.Lines().empty());
}

TEST_F(CLibraryLogBridgeTest, SeverityZeroPassesEveryVerbosity)
{
    for (int maxSeverity : {0, 1, 4, 10, 11})
    {
        SCOPED_TRACE(maxSeverity);
        CLogCapture capture(&velmar::TxtFormatter::format);
        plog::Logger<0> logger(static_cast<plog::Severity>(maxSeverity));
        logger.addAppender(&capture);
        InstallLibraryLogBridge(m_loader);
        Report(0, "always");
        const auto records = capture.Lines();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].severity, 0);
        EXPECT_TRUE(records[0].formatted.ends_with(L" NONE  always\n")) << records[0].formatted;
    }
}

TEST_F(CLibraryLogBridgeTest, NegativeAndOutOfScaleSeveritiesAreDropped)
{
    // A logger that lets everything through: only the bridge can drop these.
    MakeLogger(1000);
    InstallLibraryLogBridge(m_loader);
    Report(-1, "negative");
    Report(-2147483647 - 1, "most negative");
    Report(10, "debug");
    Report(11, "beyond debug");
    Report(9, "kept");
    const auto records = m_capture.Lines();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, L"kept");
}

TEST_F(CLibraryLogBridgeTest, Utf8TextArrivesAsTheSameCharacters)
{
    MakeLogger(4);
    InstallLibraryLogBridge(m_loader);
    // "Grüße – 音声 🎧" spelled out in UTF-8.
    Report(4, "Gr\xC3\xBC\xC3\x9F"
              "e \xE2\x80\x93 \xE9\x9F\xB3\xE5\xA3\xB0 \xF0\x9F\x8E\xA7");
    Report(3, "");
    const auto records = m_capture.Lines();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, L"Gr\u00FC\u00DFe \u2013 \u97F3\u58F0 \U0001F3A7");
    EXPECT_TRUE(records[0].formatted.ends_with(L" INFO  Gr\u00FC\u00DFe \u2013 \u97F3\u58F0 \U0001F3A7\n"))
        << records[0].formatted;
    EXPECT_EQ(records[1].severity, 3);
    EXPECT_EQ(records[1].message, L"");
}

TEST_F(CLibraryLogBridgeTest, ControlCharactersAreWrittenOutSoEveryReportStaysOneLine)
{
    MakeLogger(4);
    InstallLibraryLogBridge(m_loader);
    // A user name as a web caller might type it, trying to forge a second log line.
    Report(3, "Web login refused for \"a\r\n2024 FATAL admin ok\tx\\y\x01\x1B\x7F\xC3\xBC\"");
    const auto records = m_capture.Lines();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message,
              L"Web login refused for \"a\\r\\n2024 FATAL admin ok\\tx\\\\y\\x01\\x1B\\x7F\u00FC\"");
    EXPECT_EQ(records[0].formatted.find(L'\n'), records[0].formatted.size() - 1) << records[0].formatted;
}

TEST_F(CLibraryLogBridgeTest, ReportIsWrittenOnTheReportingThread)
{
    MakeLogger(4);
    InstallLibraryLogBridge(m_loader);
    unsigned int workerTid = 0;
    std::thread worker(
        [&]
        {
            SetThreadLabel(L"LIBWORKER");
            workerTid = GetCurrentThreadId();
            Report(4, "from a library thread");
        });
    worker.join();
    const auto records = m_capture.Lines();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tid, workerTid);
    EXPECT_EQ(records[0].label, L"LIBWORKER");
    EXPECT_TRUE(records[0].formatted.ends_with(L" INFO  [LIBWORKER] from a library thread\n"))
        << records[0].formatted;
}

TEST_F(CLibraryLogBridgeTest, UndeliverableReportsAreDroppedInsideTheCallback)
{
    // Nothing may be thrown into the library's C frames: neither for an empty sink nor a failing one.
    MakeLogger(4);
    EXPECT_NO_THROW(velmar::LibraryLogCallback(4, "no sink"));
    velmar::LibraryLogSinkSlot().store([](velmar::LogSeverity, const std::string&)
                                       { throw std::runtime_error("appender failed"); });
    EXPECT_NO_THROW(velmar::LibraryLogCallback(4, "failing sink"));
    EXPECT_TRUE(m_capture.Lines().empty());
}

std::vector<std::pair<velmar::LogSeverity, std::string>> g_seen;

TEST_F(CLibraryLogBridgeTest, CallbackPassesTheTextUpToItsNulAndCopesWithNull)
{
    auto& seen = g_seen;
    seen.clear();
    velmar::LibraryLogSinkSlot().store([](velmar::LogSeverity severity, const std::string& text)
                                       { g_seen.emplace_back(severity, text); });
    const char text[] = "first\0second";
    velmar::LibraryLogCallback(7, text);
    velmar::LibraryLogCallback(-3, nullptr);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, velmar::LogSeverity::Verb3);
    EXPECT_EQ(seen[0].second, "first");
    EXPECT_EQ(static_cast<int>(seen[1].first), -3);
    EXPECT_EQ(seen[1].second, "");
}

TEST_F(CLibraryLogBridgeTest, ConcurrentReportsAreAllLogged)
{
    MakeLogger(4);
    InstallLibraryLogBridge(m_loader);
    constexpr int kThreads = 4;
    constexpr int kReports = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [t]
            {
                const std::string text = "thread " + std::to_string(t);
                for (int i = 0; i < kReports; ++i)
                {
                    g_library.callback(i % 2 == 0 ? 4 : 5, text.c_str());
                }
            });
    }
    for (std::thread& thread : threads)
    {
        thread.join();
    }
    const auto records = m_capture.Lines();
    ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kReports / 2));
    int perThread[kThreads] = {};
    for (const LogLine& record : records)
    {
        ASSERT_EQ(record.severity, 4);
        ASSERT_EQ(record.message.rfind(L"thread ", 0), 0u);
        const int t = std::stoi(record.message.substr(7));
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        ++perThread[t];
    }
    for (int t = 0; t < kThreads; ++t)
    {
        EXPECT_EQ(perThread[t], kReports / 2);
    }
}

} // namespace
