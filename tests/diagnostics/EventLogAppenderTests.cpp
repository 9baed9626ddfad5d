#include "TestEntries.h"

#include "diagnostics/EventLogAppender.h"
#include "diagnostics/ThreadLabel.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

using EventLogAppender = plog::EventLogAppender<velmar::MessageOnlyFormatter>;

HANDLE const kSource = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5150));

struct Report
{
    HANDLE handle;
    WORD type;
    WORD category;
    DWORD eventId;
    bool hasSid;
    WORD stringCount;
    DWORD dataSize;
    std::wstring text;
    bool hasData;
};

struct EventLogState
{
    bool failRegister = false;
    std::vector<std::wstring> registered; // source names, "<server>" marks a non-null server
    std::vector<HANDLE> deregistered;
    std::vector<Report> reports;
};
EventLogState* g_state = nullptr;

HANDLE WINAPI FakeRegisterEventSourceW(LPCWSTR server, LPCWSTR source)
{
    g_state->registered.push_back(server != nullptr ? L"<server>" : source);
    return g_state->failRegister ? nullptr : kSource;
}

BOOL WINAPI FakeDeregisterEventSource(HANDLE handle)
{
    g_state->deregistered.push_back(handle);
    return TRUE;
}

BOOL WINAPI FakeReportEventW(HANDLE handle, WORD type, WORD category, DWORD eventId, PSID sid, WORD count,
                             DWORD size, LPCWSTR* strings, LPVOID data)
{
    g_state->reports.push_back({handle, type, category, eventId, sid != nullptr, count, size,
                                count > 0 ? strings[0] : L"", data != nullptr});
    return TRUE;
}

class EventLogAppenderTest : public ::testing::Test
{
protected:
    EventLogAppenderTest() { g_state = &m_state; }
    ~EventLogAppenderTest() override
    {
        g_state = nullptr;
        SetThreadLabel(L"");
    }

    static void Write(EventLogAppender& appender, int severity, const std::wstring& message)
    {
        appender.write(plog::detail::ReplayRecord(MakeEntry(severity, message)));
    }

    EventLogState m_state;
    CApiOverride<decltype(platform::SystemApi::RegisterEventSourceW)> m_register{
        platform::Api().RegisterEventSourceW, &FakeRegisterEventSourceW};
    CApiOverride<decltype(platform::SystemApi::DeregisterEventSource)> m_deregister{
        platform::Api().DeregisterEventSource, &FakeDeregisterEventSource};
    CApiOverride<decltype(platform::SystemApi::ReportEventW)> m_report{platform::Api().ReportEventW,
                                                                       &FakeReportEventW};
};

TEST_F(EventLogAppenderTest, OpensTheSourceLocallyAndReleasesItOnDestruction)
{
    {
        EventLogAppender appender(L"ORVANE.CL.drv");
        EXPECT_EQ(m_state.registered, std::vector<std::wstring>{L"ORVANE.CL.drv"});
        EXPECT_TRUE(m_state.deregistered.empty());
    }
    EXPECT_EQ(m_state.deregistered, std::vector<HANDLE>{kSource});
}

TEST_F(EventLogAppenderTest, ReportTypeAndCategoryFollowTheSeverity)
{
    EventLogAppender appender(L"ORVANE.CL.drv");
    const WORD expected[] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_ERROR_TYPE,       EVENTLOG_ERROR_TYPE,
                             EVENTLOG_WARNING_TYPE,     EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE,
                             EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE,
                             EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE};
    for (int severity = 0; severity <= 10; ++severity)
    {
        Write(appender, severity, L"m" + std::to_wstring(severity));
    }
    Write(appender, 12, L"m12");
    ASSERT_EQ(m_state.reports.size(), 12u);
    for (int severity = 0; severity <= 11; ++severity)
    {
        const Report& report = m_state.reports[severity];
        const int value = severity == 11 ? 12 : severity;
        EXPECT_EQ(report.handle, kSource);
        EXPECT_EQ(report.type, severity == 11 ? EVENTLOG_INFORMATION_TYPE : expected[severity]) << value;
        EXPECT_EQ(report.category, value);
        EXPECT_EQ(report.eventId, 0u);
        EXPECT_FALSE(report.hasSid);
        EXPECT_EQ(report.stringCount, 1);
        EXPECT_EQ(report.dataSize, 0u);
        EXPECT_FALSE(report.hasData);
        EXPECT_EQ(report.text, L"m" + std::to_wstring(value) + L"\n");
    }
}

TEST_F(EventLogAppenderTest, TextCarriesTheLabelOfTheWritingThread)
{
    EventLogAppender appender(L"ORVANE.CL.drv");
    SetThreadLabel(L"MAIN");
    Write(appender, 4, L"[lib] up");
    ASSERT_EQ(m_state.reports.size(), 1u);
    EXPECT_EQ(m_state.reports[0].text, L"[MAIN] [lib] up\n");
}

TEST_F(EventLogAppenderTest, FailedRegistrationIsNotReportedAndNothingIsReleased)
{
    m_state.failRegister = true;
    {
        EventLogAppender appender(L"ORVANE.CL.drv");
        Write(appender, 2, L"lost");
        ASSERT_EQ(m_state.reports.size(), 1u);
        EXPECT_EQ(m_state.reports[0].handle, nullptr);
    }
    EXPECT_TRUE(m_state.deregistered.empty());
}

} // namespace
