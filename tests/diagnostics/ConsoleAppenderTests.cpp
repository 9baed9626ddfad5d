#include "TestEntries.h"

#include "diagnostics/ColorConsoleAppender.h"
#include "diagnostics/ThreadLabel.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <io.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace
{

using ConsoleAppender = plog::ColorConsoleAppender<velmar::TxtFormatter>;

HANDLE const kConsole = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x4711));

// What reached the substituted console calls: "A<hex attribute>" or "W<text>", in call order.
struct ConsoleLog
{
    std::mutex mutex;
    std::vector<std::wstring> calls;
    std::vector<HANDLE> handles;
    WORD attributes = 0x17;
    bool infoFails = false;

    void Add(HANDLE handle, std::wstring call)
    {
        std::lock_guard<std::mutex> lock(mutex);
        handles.push_back(handle);
        calls.push_back(std::move(call));
    }
};
ConsoleLog* g_console = nullptr;

HANDLE WINAPI FakeGetStdHandle(DWORD which)
{
    return which == STD_ERROR_HANDLE ? kConsole : nullptr;
}

BOOL WINAPI FakeGetConsoleScreenBufferInfo(HANDLE handle, PCONSOLE_SCREEN_BUFFER_INFO info)
{
    g_console->Add(handle, L"I");
    if (g_console->infoFails)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    info->wAttributes = g_console->attributes;
    return TRUE;
}

BOOL WINAPI FakeSetConsoleTextAttribute(HANDLE handle, WORD attribute)
{
    wchar_t text[16];
    swprintf(text, 16, L"A%02X", attribute);
    g_console->Add(handle, text);
    return TRUE;
}

BOOL WINAPI FakeWriteConsoleW(HANDLE handle, const VOID* buffer, DWORD count, LPDWORD written, LPVOID)
{
    g_console->Add(handle, L"W" + std::wstring(static_cast<const wchar_t*>(buffer), count));
    if (written != nullptr)
    {
        *written = count;
    }
    return TRUE;
}

class ConsoleAppenderTest : public ::testing::Test
{
protected:
    ConsoleAppenderTest() { g_console = &m_log; }
    ~ConsoleAppenderTest() override
    {
        g_console = nullptr;
        SetThreadLabel(L"");
    }

    static void Write(ConsoleAppender& appender, int severity, const std::wstring& message)
    {
        const auto entry = MakeEntry(severity, message, LocalTime(2026, 1, 31, 9, 5, 3), 7);
        appender.write(plog::detail::ReplayRecord(entry));
    }

    std::vector<std::wstring> Calls()
    {
        std::lock_guard<std::mutex> lock(m_log.mutex);
        return m_log.calls;
    }

    ConsoleLog m_log;
    CApiOverride<decltype(platform::SystemApi::GetStdHandle)> m_std{platform::Api().GetStdHandle,
                                                                    &FakeGetStdHandle};
    CApiOverride<decltype(platform::SystemApi::GetConsoleScreenBufferInfo)> m_info{
        platform::Api().GetConsoleScreenBufferInfo, &FakeGetConsoleScreenBufferInfo};
    CApiOverride<decltype(platform::SystemApi::SetConsoleTextAttribute)> m_attribute{
        platform::Api().SetConsoleTextAttribute, &FakeSetConsoleTextAttribute};
    CApiOverride<decltype(platform::SystemApi::WriteConsoleW)> m_write{platform::Api().WriteConsoleW,
                                                                       &FakeWriteConsoleW};
};

TEST_F(ConsoleAppenderTest, ConsoleWriteSetsTheSeverityColourAndRestoresTheSavedAttributes)
{
    std::ostringstream unused;
    ConsoleAppender appender(unused, true);
    EXPECT_TRUE(appender.IsConsole());
    EXPECT_EQ(appender.SavedAttributes(), 0x17);

    Write(appender, 2, L"broken");
    const std::wstring line = L"W2026-01-31 09:05:03.007 ERROR broken\n";
    EXPECT_EQ(Calls(), (std::vector<std::wstring>{L"I", L"A1C", line, L"A17"}));
    for (HANDLE handle : m_log.handles)
    {
        EXPECT_EQ(handle, kConsole);
    }
    EXPECT_TRUE(unused.str().empty());
}

TEST_F(ConsoleAppenderTest, EverySeverityHasItsAttribute)
{
    std::ostringstream unused;
    ConsoleAppender appender(unused, true);
    // FATAL ignores the saved background; the others keep its high nibble (1 = blue).
    const std::pair<int, const wchar_t*> expected[] = {{1, L"A4F"}, {2, L"A1C"}, {3, L"A1E"}, {4, L"A1F"},
                                                       {5, L"A1B"}, {6, L"A1D"}, {7, L"A13"}, {8, L"A15"},
                                                       {9, L"A19"}, {10, L"A17"}};
    for (const auto& [severity, attribute] : expected)
    {
        m_log.calls.clear();
        Write(appender, severity, L"m");
        const auto calls = Calls();
        ASSERT_EQ(calls.size(), 3u) << severity;
        EXPECT_EQ(calls[0], attribute) << severity;
        EXPECT_EQ(calls[1].substr(0, 1), L"W");
        EXPECT_EQ(calls[2], L"A17") << severity;
    }
    // NONE and unknown severities keep the colour but still restore it.
    for (int severity : {0, 11, 42})
    {
        m_log.calls.clear();
        Write(appender, severity, L"m");
        const auto calls = Calls();
        ASSERT_EQ(calls.size(), 2u) << severity;
        EXPECT_EQ(calls[0], L"W2026-01-31 09:05:03.007 NONE  m\n");
        EXPECT_EQ(calls[1], L"A17");
    }
}

TEST_F(ConsoleAppenderTest, UnreadableConsoleAttributesFallBackToGreyOnBlack)
{
    m_log.infoFails = true;
    std::ostringstream unused;
    ConsoleAppender appender(unused, true);
    EXPECT_EQ(appender.SavedAttributes(), 0x07);
    Write(appender, 2, L"x");
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1], L"A0C");
    EXPECT_EQ(calls[3], L"A07");
}

TEST_F(ConsoleAppenderTest, RedirectedOutputIsActiveCodePageBytesWithoutColourCalls)
{
    std::ostringstream out;
    ConsoleAppender appender(out, false);
    EXPECT_FALSE(appender.IsConsole());
    SetThreadLabel(L"MAIN");
    const std::wstring message = L"caf\u00e9 \u00fc\u00df";
    Write(appender, 1, message);
    Write(appender, 4, L"second");

    EXPECT_TRUE(Calls().empty()) << "no console call may be made when standard error is redirected";

    const std::wstring first = L"2026-01-31 09:05:03.007 FATAL [MAIN] " + message + L"\n";
    char expected[128] = {};
    const int bytes = WideCharToMultiByte(CP_ACP, 0, first.c_str(), static_cast<int>(first.size()), expected,
                                          sizeof(expected), nullptr, nullptr);
    ASSERT_GT(bytes, 0);
    const std::string all = out.str();
    ASSERT_GE(all.size(), static_cast<std::size_t>(bytes));
    EXPECT_EQ(all.substr(0, static_cast<std::size_t>(bytes)),
              std::string(expected, static_cast<std::size_t>(bytes)));
    EXPECT_EQ(all.substr(static_cast<std::size_t>(bytes)), "2026-01-31 09:05:03.007 INFO  [MAIN] second\n");
    if (GetACP() != CP_UTF8)
    {
        EXPECT_EQ(all.find("caf\xc3\xa9"), std::string::npos) << "UTF-8 instead of the active code page";
    }
}

TEST_F(ConsoleAppenderTest, StandardErrorAppenderWritesThroughStdCerrWhenRedirected)
{
    if (_isatty(_fileno(stderr)))
    {
        GTEST_SKIP() << "standard error is a console here";
    }
    std::ostringstream captured;
    std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
    {
        ConsoleAppender appender;
        EXPECT_FALSE(appender.IsConsole());
        Write(appender, 3, L"to stderr");
    }
    std::cerr.rdbuf(saved);
    EXPECT_EQ(captured.str(), "2026-01-31 09:05:03.007 WARN  to stderr\n");
    EXPECT_TRUE(Calls().empty());
}

TEST_F(ConsoleAppenderTest, ConcurrentWritersNeverInterleaveColourWriteAndRestore)
{
    std::ostringstream unused;
    ConsoleAppender appender(unused, true);
    m_log.calls.clear();
    constexpr int kThreads = 4;
    constexpr int kWrites = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&appender, t]
            {
                for (int i = 0; i < kWrites; ++i)
                {
                    Write(appender, 1 + t, L"thread " + std::to_wstring(t));
                }
            });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    const wchar_t* attributes[] = {L"A4F", L"A1C", L"A1E", L"A1F"};
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), static_cast<std::size_t>(kThreads * kWrites * 3));
    for (std::size_t i = 0; i < calls.size(); i += 3)
    {
        const std::wstring& text = calls[i + 1];
        ASSERT_EQ(text.substr(0, 1), L"W");
        const int t = text[text.size() - 2] - L'0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << text;
        EXPECT_EQ(calls[i], attributes[t]) << i;
        EXPECT_EQ(calls[i + 2], L"A17") << i;
    }
}

} // namespace
