// Random argument vectors through the option scanner and the main routine. Every element sits at the
// end of its own guarded buffer, so reading past a terminator faults. The main routine runs on the
// recorded front operations: every command, service operation, setup step and processing run it can
// reach is a recorder, so no random vector starts anything real.
#include "app/GetOptLong.h"
#include "app/MainRoutine.h"
#include "app/Usage.h"
#include "setup/RebootPrompt.h"

#include "../app/FrontOperationsOverride.h"
#include "FuzzReport.h"
#include "GuardedBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace
{

// The recorder replaces all twelve entries of the table. An operation added to it must be recorded
// before random vectors may reach it, or a vector could start it for real.
static_assert(sizeof(FrontOperations) == 12 * sizeof(std::function<void()>));

constexpr int kVectorsPerSeed = 5000;
constexpr std::size_t kMaxElements = 12;
constexpr std::size_t kElementBytes = 4096;

const wchar_t* const kMainLongNames[] = {
    L"help",          L"version",         L"verbose",     L"event-log",       L"install-driver",
    L"add-device",    L"remove-device",   L"reboot-info", L"install-service", L"uninstall-service",
    L"start-service", L"restart-service", L"service",     L"stop-service",    L"set-service-parameters"};
const std::wstring kMainShort = L"hVveDar:bIUSRKPG";

// Any character but the line ends (the messages are checked line by line) and NUL.
wchar_t RandomChar(std::mt19937& rng)
{
    static const wchar_t kOdd[] = {L'\u00e9', L'\u4e2d', L'\xd800', L'\xdfff', L'\xffff', L'\xfeff',
                                   L'\x7f',   L'\x01',   L'\t',     L'=',      L'-',      L':'};
    if (rng() % 4 == 0)
    {
        return kOdd[rng() % std::size(kOdd)];
    }
    return static_cast<wchar_t>(0x20 + rng() % 0x5f);
}

std::wstring Garbage(std::mt19937& rng, std::size_t maxLength)
{
    std::wstring text(rng() % (maxLength + 1), L' ');
    for (wchar_t& c : text)
    {
        c = RandomChar(rng);
    }
    return text;
}

// One element built from the option alphabet: clusters of short options, long options (whole, by
// prefix, with or without "="), "--", a stray "-", empty strings, garbage and very long garbage.
std::wstring Element(std::mt19937& rng, const std::wstring& shortAlphabet,
                     const std::vector<std::wstring>& longNames)
{
    switch (rng() % 11)
    {
    case 0:
        return L"";
    case 1:
        return L"-";
    case 2:
        return L"--";
    case 3:
    case 4:
    {
        std::wstring cluster = L"-";
        for (std::size_t n = 1 + rng() % 4; n > 0; --n)
        {
            cluster += rng() % 6 == 0 ? RandomChar(rng) : shortAlphabet[rng() % shortAlphabet.size()];
        }
        return cluster;
    }
    case 5:
    case 6:
    case 7:
    {
        const std::wstring& name = longNames[rng() % longNames.size()];
        std::wstring element = L"--" + (rng() % 3 == 0 ? name.substr(0, 1 + rng() % name.size()) : name);
        if (rng() % 3 == 0)
        {
            element += L"=" + Garbage(rng, 6);
        }
        return element;
    }
    case 8:
        return rng() % 2 == 0 ? L"all" : L"{0.0.1.00000000}.{x}";
    case 9:
        return std::wstring(rng() % 3, L'-') + Garbage(rng, 12);
    default:
        return std::wstring(rng() % 3, L'-') + Garbage(rng, 1900);
    }
}

// An argument vector whose elements live in guarded buffers; argv is what the scanner permutes.
class CGuardedVector
{
public:
    CGuardedVector()
    {
        for (std::size_t i = 0; i < kMaxElements; ++i)
        {
            m_slots.emplace_back(kElementBytes);
        }
    }

    void Assign(const std::vector<std::wstring>& words)
    {
        m_words = words;
        argv.clear();
        for (std::size_t i = 0; i < words.size(); ++i)
        {
            argv.push_back(m_slots[i].Place(words[i].c_str(), words[i].size() + 1));
        }
        m_original = argv;
        argv.push_back(nullptr);
    }

    int argc() const { return static_cast<int>(m_words.size()); }

    // True when argv holds exactly the original elements, in some order, with unchanged texts.
    bool IsPermutation() const
    {
        std::vector<wchar_t*> now(argv.begin(), argv.end() - 1);
        std::vector<wchar_t*> was = m_original;
        std::sort(now.begin(), now.end());
        std::sort(was.begin(), was.end());
        if (now != was || argv.back() != nullptr)
        {
            return false;
        }
        for (std::size_t i = 0; i < m_original.size(); ++i)
        {
            if (m_words[i] != m_original[i])
            {
                return false;
            }
        }
        return true;
    }

    // True when p points into one element's text (its terminator included).
    bool PointsIntoAnElement(const wchar_t* p) const
    {
        for (std::size_t i = 0; i < m_original.size(); ++i)
        {
            if (p >= m_original[i] && p <= m_original[i] + m_words[i].size())
            {
                return true;
            }
        }
        return false;
    }

    std::string Describe() const
    {
        std::string text;
        for (const std::wstring& word : m_words)
        {
            text += " [" + fuzz::Visible(word) + "]";
        }
        return text;
    }

    std::vector<wchar_t*> argv;

private:
    std::vector<CGuardedBuffer> m_slots;
    std::vector<std::wstring> m_words;
    std::vector<wchar_t*> m_original;
};

// A scanner message: "<program>: <kind> -- <anything but a line end>\n".
bool IsScannerMessage(const std::wstring& line, const std::wstring& program)
{
    static const wchar_t* const kKinds[] = {L"unknown option -- ", L"option requires an argument -- ",
                                            L"ambiguous option -- ", L"option doesn't take an argument -- "};
    const std::wstring head = program + L": ";
    if (line.rfind(head, 0) != 0 || line.empty() || line.back() != L'\n' ||
        line.find(L'\n', head.size()) != line.size() - 1)
    {
        return false;
    }
    return std::any_of(std::begin(kKinds), std::end(kKinds),
                       [&](const wchar_t* kind)
                       { return line.compare(head.size(), std::wcslen(kind), kind) == 0; });
}

bool StartsWith(const std::wstring& text, const wchar_t* head)
{
    return text.rfind(head, 0) == 0;
}

// The exit code the main routine must give for the recorded calls and answers.
int ExpectedCode(const CRecordingOperations& ops, const std::vector<std::wstring>& calls,
                 const std::wstring& out)
{
    if (calls.empty())
    {
        return out.empty() ? 1 : 0;
    }
    const std::wstring& last = calls.back();
    if (StartsWith(last, L"InstallDriver") || StartsWith(last, L"SetupPromptReboot"))
    {
        return !ops.installResult ? 1 : (ops.installReboot != 0 ? 2 : 0);
    }
    if (StartsWith(last, L"AddDeviceCommand"))
    {
        return ops.addResult;
    }
    if (StartsWith(last, L"RemoveDeviceCommand "))
    {
        return ops.removeResult;
    }
    if (StartsWith(last, L"Execute "))
    {
        return ops.executeResult ? 0 : 1;
    }
    if (StartsWith(last, L"RunProcessing "))
    {
        return ops.processingResult;
    }
    return 1; // a failed event source step
}

void CheckMainRoutineRun(const CRecordingOperations& ops, const std::wstring& program, int code)
{
    const std::wstring usage = UsageText(program);
    ASSERT_FALSE(ops.calls.empty());
    EXPECT_EQ(ops.calls.front(), L"PrepareLogging");
    const std::vector<std::wstring> calls(ops.calls.begin() + 1, ops.calls.end());

    // At most one command, service operation or processing run, and nothing else but its logging.
    int commands = 0;
    for (const std::wstring& call : calls)
    {
        const bool command = StartsWith(call, L"InstallDriver") || StartsWith(call, L"AddDeviceCommand") ||
                             StartsWith(call, L"RemoveDeviceCommand ") || StartsWith(call, L"Execute ") ||
                             StartsWith(call, L"RunProcessing ");
        commands += command ? 1 : 0;
        EXPECT_TRUE(command || StartsWith(call, L"InitLogging ") || StartsWith(call, L"SetupPromptReboot ") ||
                    call == L"RegisterEventLogSource" || call == L"UnregisterEventLogSource")
            << fuzz::Visible(call);
        EXPECT_NE(call, L"RemoveDeviceCommand ") << "a removal without a device id";
    }
    EXPECT_LE(commands, 1);

    EXPECT_TRUE(code == 0 || code == 1 || code == 2) << code;
    EXPECT_EQ(code, ExpectedCode(ops, calls, ops.out));

    EXPECT_TRUE(ops.out.empty() || ops.out == usage || ops.out == VersionText() ||
                ops.out == L"Service Operation Successful\n")
        << fuzz::Visible(ops.out);

    const std::wstring invalid = L"Invalid command line parameter ?\n" + usage;
    const bool scannerError =
        ops.err.size() > invalid.size() &&
        ops.err.compare(ops.err.size() - invalid.size(), invalid.size(), invalid) == 0 &&
        IsScannerMessage(ops.err.substr(0, ops.err.size() - invalid.size()), program);
    EXPECT_TRUE(ops.err.empty() || scannerError ||
                ops.err == L"--remove-device needs a device id or 'all'\n" ||
                ops.err == L"Service Operation failed\n")
        << fuzz::Visible(ops.err);
    if (scannerError)
    {
        EXPECT_TRUE(calls.empty());
    }
}

TEST(OptionFuzz, MainRoutineEndsWithADefinedCodeAndMessage)
{
    std::vector<std::wstring> longNames(std::begin(kMainLongNames), std::end(kMainLongNames));
    const std::wstring alphabet = kMainShort + L"x?-=:W\u00e9";
    CGuardedVector vector;
    std::map<std::wstring, int> outcomes;
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < kVectorsPerSeed; ++i)
        {
            std::vector<std::wstring> words{rng() % 8 == 0 ? Garbage(rng, 10) : L"orvane"};
            for (std::size_t n = rng() % kMaxElements; n > 0; --n)
            {
                words.push_back(Element(rng, alphabet, longNames));
            }
            vector.Assign(words);

            CRecordingOperations ops;
            ops.installResult = rng() % 4 != 0;
            ops.installReboot = rng() % 2;
            ops.addResult = static_cast<int>(rng() % 3);
            ops.removeResult = static_cast<int>(rng() % 3);
            ops.registerResult = rng() % 4 != 0;
            ops.executeResult = rng() % 4 != 0;
            ops.processingResult = static_cast<int>(rng() % 2);
            SetRebootPrompt(true);
            const int code = MainRoutine(vector.argc(), vector.argv.data(), L"velmar.orvane.cl.dll", nullptr);
            SetRebootPrompt(true);

            CheckMainRoutineRun(ops, words[0], code);
            const std::wstring& last = ops.calls.back();
            ++outcomes[ops.calls.size() > 1 ? last.substr(0, last.find(L' '))
                       : ops.err.empty()    ? L"text"
                                            : L"error"];
            EXPECT_TRUE(vector.IsPermutation());
            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, i) << ", argv:" << vector.Describe();
            }
        }
    }
    for (const auto& [outcome, count] : outcomes)
    {
        std::printf("%ls %d; ", outcome.c_str(), count);
    }
    std::printf("\n");
}

// The scanner itself under random short option strings ('+', '-' and ':' prefixes, optional
// arguments) and long tables (prefixes of each other, flags, every argument mode).
TEST(OptionFuzz, ScannerEndsAndReturnsOnlyWhatItsTablesDefine)
{
    static const wchar_t* const kNames[] = {L"alpha", L"alp", L"beta", L"bet", L"b", L"gamma-ray", L"remove"};
    static const wchar_t kLetters[] = L"abdhrvW\u00e9";
    static const wchar_t* const kPrefixes[] = {L"", L"", L"+", L"-", L":", L"+:", L"-:"};
    CGuardedVector vector;
    int flag = 0;
    for (const std::uint32_t seed : fuzz::kSeeds)
    {
        std::mt19937 rng(seed);
        for (int i = 0; i < kVectorsPerSeed; ++i)
        {
            std::wstring shortOptions = kPrefixes[rng() % std::size(kPrefixes)];
            for (std::size_t n = rng() % 6; n > 0; --n)
            {
                shortOptions += kLetters[rng() % (std::size(kLetters) - 1)];
                shortOptions += rng() % 2 == 0 ? L"" : (rng() % 2 == 0 ? L":" : L"::");
            }
            std::vector<LongOption> longOptions;
            std::vector<std::wstring> longNames{L"x"};
            for (std::size_t n = rng() % 6; n > 0; --n)
            {
                const wchar_t* name = kNames[rng() % std::size(kNames)];
                longNames.emplace_back(name);
                longOptions.push_back({name, static_cast<ArgumentMode>(rng() % 3),
                                       rng() % 4 == 0 ? &flag : nullptr, static_cast<int>(1000 + rng() % 3)});
            }
            longOptions.push_back({nullptr, ArgumentMode::None, nullptr, 0});

            std::vector<std::wstring> words{L"prog"};
            for (std::size_t n = rng() % kMaxElements; n > 0; --n)
            {
                words.push_back(Element(rng, shortOptions + L"x", longNames));
            }
            vector.Assign(words);

            std::vector<std::wstring> messages;
            const bool posixly = rng() % 4 == 0;
            CGetOptLong scanner([&](const std::wstring& line) { messages.push_back(line); },
                                [=] { return posixly; });
            scanner.Reset();
            // What the scanner looks up options in: the string after one leading '+' or '-'.
            const std::wstring body = shortOptions.substr(
                !shortOptions.empty() && (shortOptions[0] == L'+' || shortOptions[0] == L'-') ? 1 : 0);
            // Each call consumes at least one character or one element.
            std::size_t bound = words.size() + 2;
            for (const std::wstring& word : words)
            {
                bound += word.size();
            }
            for (std::size_t steps = 0;; ++steps)
            {
                if (steps > bound)
                {
                    ADD_FAILURE() << "the scan does not end";
                    break;
                }
                const int option =
                    scanner.Next(vector.argc(), vector.argv.data(), shortOptions.c_str(), longOptions.data());
                EXPECT_GE(scanner.Index(), 0);
                EXPECT_LE(scanner.Index(), vector.argc());
                if (option == -1)
                {
                    break;
                }
                const bool shortOption = option > 0 && option != L':' &&
                                         body.find(static_cast<wchar_t>(option)) != std::wstring::npos;
                const bool longOption = option == 0 || (option >= 1000 && option < 1003);
                const bool nonOption = option == 1 && shortOptions[0] == L'-';
                EXPECT_TRUE(shortOption || longOption || nonOption || option == '?' ||
                            (option == ':' && body[0] == L':'))
                    << option;
                EXPECT_TRUE(scanner.Argument() == nullptr || vector.PointsIntoAnElement(scanner.Argument()));
            }
            EXPECT_TRUE(vector.IsPermutation());
            for (const std::wstring& line : messages)
            {
                EXPECT_TRUE(IsScannerMessage(line, L"prog")) << fuzz::Visible(line);
            }
            if (body[0] == L':')
            {
                EXPECT_TRUE(messages.empty());
            }
            if (testing::Test::HasFailure())
            {
                FAIL() << fuzz::Where(seed, i) << ", options \"" << fuzz::Visible(shortOptions)
                       << "\", argv:" << vector.Describe();
            }
        }
    }
}

} // namespace
