#include "app/GetOptLong.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace
{

// An argument vector that owns its texts; the scanner permutes the pointer array in place.
class CArgs
{
public:
    CArgs(std::initializer_list<const wchar_t*> words)
    {
        for (const wchar_t* word : words)
        {
            m_texts.emplace_back(word);
        }
        for (std::wstring& text : m_texts)
        {
            m_argv.push_back(text.data());
        }
        m_argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_argv.size()) - 1; }
    wchar_t** argv() { return m_argv.data(); }
    std::vector<std::wstring> Order() const
    {
        std::vector<std::wstring> order;
        for (int i = 0; i < argc(); ++i)
        {
            order.emplace_back(m_argv[i]);
        }
        return order;
    }

private:
    std::vector<std::wstring> m_texts;
    std::vector<wchar_t*> m_argv;
};

// One returned value with its argument ("" when none, "<null>" kept apart from an empty argument).
using Step = std::pair<int, std::wstring>;

const LongOption kOptions[] = {
    {L"help", ArgumentMode::None, nullptr, 'h'},
    {L"version", ArgumentMode::None, nullptr, 'V'},
    {L"verbose", ArgumentMode::None, nullptr, 'v'},
    {L"event-log", ArgumentMode::None, nullptr, 'e'},
    {L"install-driver", ArgumentMode::None, nullptr, 'D'},
    {L"add-device", ArgumentMode::None, nullptr, 'a'},
    {L"remove-device", ArgumentMode::Required, nullptr, 'r'},
    {L"reboot-info", ArgumentMode::None, nullptr, 'b'},
    {L"install-service", ArgumentMode::None, nullptr, 'I'},
    {L"uninstall-service", ArgumentMode::None, nullptr, 'U'},
    {L"start-service", ArgumentMode::None, nullptr, 'S'},
    {L"restart-service", ArgumentMode::None, nullptr, 'R'},
    {L"service", ArgumentMode::None, nullptr, 'G'},
    {L"stop-service", ArgumentMode::None, nullptr, 'K'},
    {L"set-service-parameters", ArgumentMode::None, nullptr, 'P'},
    {nullptr, ArgumentMode::None, nullptr, 0},
};
const wchar_t* const kShort = L"hVveDar:bIUSRKPG";

class GetOptLongTest : public testing::Test
{
protected:
    GetOptLongTest()
        : m_scanner([this](const std::wstring& line) { m_errors += line; },
                    [this]
                    {
                        ++m_probes;
                        return m_posixlyCorrect;
                    })
    {
    }

    std::vector<Step> ScanAll(CArgs& args, const wchar_t* shortOptions = kShort,
                              const LongOption* longOptions = kOptions)
    {
        std::vector<Step> steps;
        for (int guard = 0; guard < 100; ++guard)
        {
            const int result = m_scanner.Next(args.argc(), args.argv(), shortOptions, longOptions);
            if (result == -1)
            {
                return steps;
            }
            steps.emplace_back(result, m_scanner.Argument() ? m_scanner.Argument() : L"<null>");
        }
        ADD_FAILURE() << "the scan does not end";
        return steps;
    }

    std::wstring m_errors;
    int m_probes = 0;
    bool m_posixlyCorrect = false;
    CGetOptLong m_scanner;
};

TEST_F(GetOptLongTest, ClustersCountEveryLetter)
{
    CArgs args{L"prog", L"-vvv", L"-ev"};
    EXPECT_EQ(ScanAll(args),
              (std::vector<Step>{
                  {'v', L"<null>"}, {'v', L"<null>"}, {'v', L"<null>"}, {'e', L"<null>"}, {'v', L"<null>"}}));
    EXPECT_EQ(m_scanner.Index(), 3);
    EXPECT_EQ(m_errors, L"");
}

TEST_F(GetOptLongTest, RequiredArgumentFromRestOfElementOrNextElement)
{
    CArgs args{L"prog", L"-rabc", L"-vr", L"-x", L"-r", L"--", L"-v"};
    // The next element is taken even when it looks like an option, also "--".
    EXPECT_EQ(
        ScanAll(args),
        (std::vector<Step>{{'r', L"abc"}, {'v', L"<null>"}, {'r', L"-x"}, {'r', L"--"}, {'v', L"<null>"}}));
    EXPECT_EQ(m_errors, L"");
}

TEST_F(GetOptLongTest, ShortOptionErrors)
{
    CArgs args{L"prog", L"-vxv", L"-r"};
    EXPECT_EQ(ScanAll(args),
              (std::vector<Step>{{'v', L"<null>"}, {'?', L"<null>"}, {'v', L"<null>"}, {'?', L"<null>"}}));
    EXPECT_EQ(m_errors, L"prog: unknown option -- x\nprog: option requires an argument -- r\n");
    EXPECT_EQ(m_scanner.ErrorOption(), 'r');
}

TEST_F(GetOptLongTest, ColonAsOptionLetterIsUnknown)
{
    CArgs args{L"prog", L"-:"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'?', L"<null>"}}));
    EXPECT_EQ(m_errors, L"prog: unknown option -- :\n");
}

TEST_F(GetOptLongTest, NonOptionsMoveBehindTheOptions)
{
    CArgs args{L"prog", L"a", L"-v", L"b", L"c", L"-r", L"x", L"d", L"--install-service"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'v', L"<null>"}, {'r', L"x"}, {'I', L"<null>"}}));
    EXPECT_EQ(args.Order(), (std::vector<std::wstring>{L"prog", L"-v", L"-r", L"x", L"--install-service",
                                                       L"a", L"b", L"c", L"d"}));
    EXPECT_EQ(m_scanner.Index(), 5);
}

TEST_F(GetOptLongTest, TrailingNonOptionsStayAndIndexPointsAtThem)
{
    CArgs args{L"prog", L"-v", L"a", L"b"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'v', L"<null>"}}));
    EXPECT_EQ(args.Order(), (std::vector<std::wstring>{L"prog", L"-v", L"a", L"b"}));
    EXPECT_EQ(m_scanner.Index(), 2);
}

TEST_F(GetOptLongTest, SingleDashIsANonOption)
{
    CArgs args{L"prog", L"-", L"-v"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'v', L"<null>"}}));
    EXPECT_EQ(args.Order(), (std::vector<std::wstring>{L"prog", L"-v", L"-"}));
    EXPECT_EQ(m_scanner.Index(), 2);
}

TEST_F(GetOptLongTest, DoubleDashEndsTheScanAndPermutesWhatWasSkipped)
{
    CArgs args{L"prog", L"x", L"-v", L"--", L"-a", L"y"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'v', L"<null>"}}));
    EXPECT_EQ(args.Order(), (std::vector<std::wstring>{L"prog", L"-v", L"--", L"x", L"-a", L"y"}));
    EXPECT_EQ(m_scanner.Index(), 3);
}

TEST_F(GetOptLongTest, PosixlyCorrectStopsAtFirstNonOption)
{
    m_posixlyCorrect = true;
    CArgs args{L"prog", L"-v", L"word", L"-a"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'v', L"<null>"}}));
    EXPECT_EQ(m_scanner.Index(), 2);
    EXPECT_EQ(args.Order(), (std::vector<std::wstring>{L"prog", L"-v", L"word", L"-a"}));
}

TEST_F(GetOptLongTest, OptionStringPrefixesAndSilence)
{
    // '+' stops at the first non-option like POSIXLY_CORRECT.
    CArgs plus{L"prog", L"word", L"-a"};
    EXPECT_EQ(ScanAll(plus, L"+a"), (std::vector<Step>{}));
    EXPECT_EQ(m_scanner.Index(), 1);

    // ':' silences the messages and tells a missing argument apart.
    m_scanner.Reset();
    CArgs colon{L"prog", L"-x", L"-r"};
    EXPECT_EQ(ScanAll(colon, L":r:"), (std::vector<Step>{{'?', L"<null>"}, {':', L"<null>"}}));

    m_scanner.Reset();
    m_scanner.SetPrintErrors(false);
    CArgs quiet{L"prog", L"-x", L"--ver"};
    EXPECT_EQ(ScanAll(quiet), (std::vector<Step>(2, {'?', L"<null>"})));
    EXPECT_EQ(m_errors, L"");
}

TEST_F(GetOptLongTest, EnvironmentIsReadWhenAScanBegins)
{
    CArgs first{L"prog", L"-v", L"-v", L"word", L"-a"};
    ScanAll(first);
    EXPECT_EQ(m_probes, 1);

    // A change in the middle of a scan is not seen; the next scan sees it.
    m_scanner.Reset();
    CArgs second{L"prog", L"-v", L"word", L"-a"};
    ASSERT_EQ(m_scanner.Next(second.argc(), second.argv(), kShort, kOptions), 'v');
    m_posixlyCorrect = true;
    EXPECT_EQ(m_scanner.Next(second.argc(), second.argv(), kShort, kOptions), 'a');
    EXPECT_EQ(m_probes, 2);

    m_scanner.Reset();
    CArgs third{L"prog", L"word", L"-a"};
    EXPECT_EQ(ScanAll(third), (std::vector<Step>{}));
    EXPECT_EQ(m_probes, 3);
}

TEST_F(GetOptLongTest, LongOptionsExactAndPrefix)
{
    CArgs args{L"prog", L"--verb", L"--install-s", L"--service", L"--remove-device=id", L"--remove-device",
               L"-v",   L"--rem",  L"all"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'v', L"<null>"},
                                                {'I', L"<null>"},
                                                {'G', L"<null>"},
                                                {'r', L"id"},
                                                {'r', L"-v"},
                                                {'r', L"all"}}));
    EXPECT_EQ(m_errors, L"");
}

TEST_F(GetOptLongTest, EqualsWithEmptyValueGivesEmptyArgument)
{
    CArgs args{L"prog", L"--remove-device=", L"next"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'r', L""}}));
    EXPECT_EQ(m_scanner.Index(), 2);
}

TEST_F(GetOptLongTest, ExactMatchWinsOverLongerNames)
{
    const LongOption options[] = {
        {L"foobar", ArgumentMode::None, nullptr, 'b'},
        {L"foo", ArgumentMode::None, nullptr, 'f'},
        {L"foobaz", ArgumentMode::None, nullptr, 'z'},
        {nullptr, ArgumentMode::None, nullptr, 0},
    };
    CArgs args{L"prog", L"--foo", L"--fooba"};
    EXPECT_EQ(ScanAll(args, L"", options), (std::vector<Step>{{'f', L"<null>"}, {'?', L"<null>"}}));
    EXPECT_EQ(m_errors, L"prog: ambiguous option -- fooba\n");
}

TEST_F(GetOptLongTest, PrefixOfIdenticalOptionsTakesTheFirst)
{
    const LongOption options[] = {
        {L"colour", ArgumentMode::None, nullptr, 'c'},
        {L"color", ArgumentMode::None, nullptr, 'c'},
        {L"count", ArgumentMode::Required, nullptr, 'n'},
        {nullptr, ArgumentMode::None, nullptr, 0},
    };
    CArgs args{L"prog", L"--col", L"--co"};
    int index = -1;
    EXPECT_EQ(m_scanner.Next(args.argc(), args.argv(), L"", options, &index), 'c');
    EXPECT_EQ(index, 0);
    // "co" also fits "count", which differs in its argument and value.
    EXPECT_EQ(m_scanner.Next(args.argc(), args.argv(), L"", options, &index), '?');
    EXPECT_EQ(m_errors, L"prog: ambiguous option -- co\n");
}

TEST_F(GetOptLongTest, AmbiguityAlsoCountsADifferentFlag)
{
    int first = 0;
    int second = 0;
    const LongOption options[] = {
        {L"alpha", ArgumentMode::None, &first, 1},
        {L"alps", ArgumentMode::None, &second, 1},
        {nullptr, ArgumentMode::None, nullptr, 0},
    };
    CArgs args{L"prog", L"--alp", L"--alpha"};
    EXPECT_EQ(ScanAll(args, L"", options), (std::vector<Step>{{'?', L"<null>"}, {0, L"<null>"}}));
    EXPECT_EQ(m_errors, L"prog: ambiguous option -- alp\n");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST_F(GetOptLongTest, TheProgramsAmbiguousPrefixes)
{
    CArgs args{L"prog", L"--ver", L"--re", L"--s", L"--ver=1"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>(4, {'?', L"<null>"})));
    EXPECT_EQ(m_errors, L"prog: ambiguous option -- ver\nprog: ambiguous option -- re\n"
                        L"prog: ambiguous option -- s\nprog: ambiguous option -- ver\n");
}

TEST_F(GetOptLongTest, LongOptionErrors)
{
    CArgs args{L"prog", L"--bogus=1", L"--verbose=1", L"--help=", L"--remove-device"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>(4, {'?', L"<null>"})));
    EXPECT_EQ(m_errors, L"prog: unknown option -- bogus=1\n"
                        L"prog: option doesn't take an argument -- verbose\n"
                        L"prog: option doesn't take an argument -- help\n"
                        L"prog: option requires an argument -- remove-device\n");
    EXPECT_EQ(m_scanner.ErrorOption(), 'r');
}

TEST_F(GetOptLongTest, OptionalArgumentsNeverTakeTheNextElement)
{
    const LongOption options[] = {
        {L"level", ArgumentMode::Optional, nullptr, 'l'},
        {nullptr, ArgumentMode::None, nullptr, 0},
    };
    CArgs args{L"prog", L"--level", L"3", L"--level=4", L"-o", L"5", L"-o6"};
    EXPECT_EQ(ScanAll(args, L"o::", options),
              (std::vector<Step>{{'l', L"<null>"}, {'l', L"4"}, {'o', L"<null>"}, {'o', L"6"}}));
    EXPECT_EQ(args.Order(),
              (std::vector<std::wstring>{L"prog", L"--level", L"--level=4", L"-o", L"-o6", L"3", L"5"}));
}

TEST_F(GetOptLongTest, ResetStartsOverEvenInsideACluster)
{
    CArgs first{L"prog", L"-vve"};
    ASSERT_EQ(m_scanner.Next(first.argc(), first.argv(), kShort, kOptions), 'v');
    m_scanner.Reset();
    CArgs second{L"prog", L"word", L"-a"};
    EXPECT_EQ(ScanAll(second), (std::vector<Step>{{'a', L"<null>"}}));
    EXPECT_EQ(second.Order(), (std::vector<std::wstring>{L"prog", L"-a", L"word"}));

    // Scanning the same vector again after a reset gives the same options.
    m_scanner.Reset();
    CArgs third{L"prog", L"x", L"-v", L"y", L"-e"};
    const std::vector<Step> once = ScanAll(third);
    m_scanner.Reset();
    EXPECT_EQ(ScanAll(third), once);
}

TEST_F(GetOptLongTest, ElementZeroIsNeverScannedAndNamesTheMessages)
{
    CArgs args{L"-v", L"-x"};
    EXPECT_EQ(ScanAll(args), (std::vector<Step>{{'?', L"<null>"}}));
    EXPECT_EQ(m_errors, L"-v: unknown option -- x\n");

    m_scanner.Reset();
    CArgs empty{L"prog"};
    EXPECT_EQ(ScanAll(empty), (std::vector<Step>{}));
    EXPECT_EQ(m_scanner.Index(), 1);
}

} // namespace
