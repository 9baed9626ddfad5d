#include "TestEntries.h"

#include "diagnostics/MessageOnlyFormatter.h"
#include "diagnostics/ThreadLabel.h"
#include "diagnostics/TxtFormatter.h"

#include <gtest/gtest.h>

namespace
{

class FormatterTest : public ::testing::Test
{
protected:
    void TearDown() override { SetThreadLabel(L""); }

    // The part of a console line after the 24 characters of date and time.
    static std::wstring AfterTime(const std::wstring& line) { return line.substr(24); }

    static std::wstring Txt(int severity, const std::wstring& message)
    {
        const auto entry = MakeEntry(severity, message, LocalTime(2026, 1, 31, 9, 5, 3), 7);
        return velmar::TxtFormatter::format(plog::detail::ReplayRecord(entry));
    }

    static std::wstring EventText(const std::wstring& message)
    {
        const auto entry = MakeEntry(4, message);
        return velmar::MessageOnlyFormatter::format(plog::detail::ReplayRecord(entry));
    }
};

TEST_F(FormatterTest, SeverityNamesArePaddedToFiveThenOneBlank)
{
    const wchar_t* expected[] = {L"NONE  ", L"FATAL ", L"ERROR ", L"WARN  ", L"INFO  ", L"VERB  ",
                                 L"VERB2 ", L"VERB3 ", L"VERB4 ", L"VERB5 ", L"DEBUG "};
    for (int severity = 0; severity <= 10; ++severity)
    {
        EXPECT_EQ(AfterTime(Txt(severity, L"m")), std::wstring(expected[severity]) + L"m\n") << severity;
    }
    for (int severity : {-1, 11, 255})
    {
        EXPECT_EQ(AfterTime(Txt(severity, L"m")), L"NONE  m\n") << severity;
    }
}

TEST_F(FormatterTest, DateAndTimeFieldsAreZeroPadded)
{
    EXPECT_EQ(Txt(9, L"Interrupt Caught, leaving"),
              L"2026-01-31 09:05:03.007 VERB5 Interrupt Caught, leaving\n");

    const auto entry = MakeEntry(4, L"x", LocalTime(2041, 11, 2, 23, 59, 58), 999);
    EXPECT_EQ(velmar::TxtFormatter::format(plog::detail::ReplayRecord(entry)),
              L"2041-11-02 23:59:58.999 INFO  x\n");

    const auto early = MakeEntry(4, L"x", LocalTime(2027, 3, 4, 0, 0, 0), 40);
    EXPECT_EQ(velmar::TxtFormatter::format(plog::detail::ReplayRecord(early)),
              L"2027-03-04 00:00:00.040 INFO  x\n");
}

TEST_F(FormatterTest, ConsoleLinePrintsTheLabelUnlessTheMessageStartsWithABracket)
{
    EXPECT_EQ(AfterTime(Txt(4, L"started")), L"INFO  started\n");

    SetThreadLabel(L"MAIN");
    EXPECT_EQ(AfterTime(Txt(4, L"started")), L"INFO  [MAIN] started\n");
    EXPECT_EQ(AfterTime(Txt(2, L"[lib] failed")), L"ERROR [lib] failed\n");
    // Only a leading bracket counts.
    EXPECT_EQ(AfterTime(Txt(2, L" [lib]")), L"ERROR [MAIN]  [lib]\n");
    // An empty message on a labelled thread still gets the label.
    EXPECT_EQ(AfterTime(Txt(3, L"")), L"WARN  [MAIN] \n");
}

TEST_F(FormatterTest, EventLogTextCarriesTheLabelEvenBeforeABracket)
{
    EXPECT_EQ(EventText(L"started"), L"started\n");
    EXPECT_EQ(EventText(L""), L"\n");

    SetThreadLabel(L"Speakers 1");
    EXPECT_EQ(EventText(L"started"), L"[Speakers 1] started\n");
    EXPECT_EQ(EventText(L"[lib] failed"), L"[Speakers 1] [lib] failed\n");
    EXPECT_EQ(EventText(L""), L"[Speakers 1] \n");
}

TEST_F(FormatterTest, StreamedRecordKeepsItsTextAndUsesTheCurrentTime)
{
    const __time64_t before = _time64(nullptr);
    plog::Record record(static_cast<plog::Severity>(10), "", 12, "", nullptr, 0);
    record << L"wide " << "narrow " << 42 << " " << static_cast<const char*>(nullptr);
    const __time64_t after = _time64(nullptr);

    const std::wstring line = velmar::TxtFormatter::format(record);
    EXPECT_EQ(AfterTime(line), L"DEBUG wide narrow 42 (null)\n");
    // The date and time printed are those of the record's creation.
    bool matches = false;
    for (__time64_t t = before; t <= after && !matches; ++t)
    {
        struct tm local = {};
        _localtime64_s(&local, &t);
        wchar_t expected[32];
        swprintf(expected, 32, L"%04d-%02d-%02d %02d:%02d:%02d.", local.tm_year + 1900, local.tm_mon + 1,
                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        matches = line.compare(0, 20, expected) == 0;
    }
    EXPECT_TRUE(matches) << line.substr(0, 24);
}

} // namespace
