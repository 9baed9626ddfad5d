#include "app/GetOptLong.h"

#include "platform/ConsoleText.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace
{

constexpr int kBadChar = '?';
constexpr int kNonOptionArgument = 1;
const wchar_t* const kEmpty = L"";

bool SameInterpretation(const LongOption& a, const LongOption& b)
{
    return a.argument == b.argument && a.flag == b.flag && a.value == b.value;
}

// The value a long option hands back when it fails, as the BSD scanner reports it.
int ErrorOptionOf(const LongOption& option)
{
    return option.flag == nullptr ? option.value : 0;
}

} // namespace

CGetOptLong::CGetOptLong(ErrorSink errorSink, EnvironmentProbe posixlyCorrect)
    : m_errorSink(std::move(errorSink)), m_posixlyCorrect(std::move(posixlyCorrect))
{
    if (!m_errorSink)
    {
        m_errorSink = [](const std::wstring& line) { platform::WriteStandardText(STD_ERROR_HANDLE, line); };
    }
    if (!m_posixlyCorrect)
    {
        m_posixlyCorrect = [] { return std::getenv("POSIXLY_CORRECT") != nullptr; };
    }
}

void CGetOptLong::Reset()
{
    m_index = 1;
    m_reset = true;
    m_place = kEmpty;
    m_argument = nullptr;
    m_errorOption = 0;
    m_nonOptionStart = -1;
    m_nonOptionEnd = -1;
}

void CGetOptLong::Report(wchar_t** argv, int argc, const std::wstring& message) const
{
    std::wstring line = (argc > 0 && argv[0] != nullptr) ? argv[0] : L"";
    line += L": ";
    line += message;
    line += L"\n";
    m_errorSink(line);
}

// Moves the block of non-options [start, end) behind the options [end, optionEnd), keeping the order
// inside both blocks.
void CGetOptLong::Permute(wchar_t** argv, int optionEnd)
{
    std::rotate(argv + m_nonOptionStart, argv + m_nonOptionEnd, argv + optionEnd);
}

int CGetOptLong::Next(int argc, wchar_t** argv, const wchar_t* shortOptions, const LongOption* longOptions,
                      int* longIndex)
{
    if (shortOptions == nullptr)
    {
        return -1;
    }
    if (m_index == 0)
    {
        m_index = 1;
        m_reset = true;
    }
    if (m_reset)
    {
        m_posixly = m_posixlyCorrect();
    }

    bool allArguments = false;
    bool permute = true;
    if (*shortOptions == L'-')
    {
        allArguments = true;
    }
    else if (m_posixly || *shortOptions == L'+')
    {
        permute = false;
    }
    if (*shortOptions == L'+' || *shortOptions == L'-')
    {
        ++shortOptions;
    }
    const bool silent = *shortOptions == L':';
    const bool printErrors = m_printErrors && !silent;
    const int badArgument = silent ? ':' : kBadChar;

    m_argument = nullptr;
    if (m_reset)
    {
        m_nonOptionStart = m_nonOptionEnd = -1;
    }

    while (m_reset || *m_place == L'\0')
    {
        m_reset = false;
        if (m_index >= argc)
        {
            m_place = kEmpty;
            if (m_nonOptionEnd != -1)
            {
                Permute(argv, m_index);
                m_index -= m_nonOptionEnd - m_nonOptionStart;
            }
            else if (m_nonOptionStart != -1)
            {
                // Only non-options were skipped at the end: the scan stops at the first of them.
                m_index = m_nonOptionStart;
            }
            m_nonOptionStart = m_nonOptionEnd = -1;
            return -1;
        }

        const wchar_t* element = argv[m_index] != nullptr ? argv[m_index] : kEmpty;
        m_place = element;
        if (*element != L'-' || (element[1] == L'\0' && std::wcschr(shortOptions, L'-') == nullptr))
        {
            m_place = kEmpty;
            if (allArguments)
            {
                m_argument = argv[m_index++];
                return kNonOptionArgument;
            }
            if (!permute)
            {
                return -1;
            }
            if (m_nonOptionStart == -1)
            {
                m_nonOptionStart = m_index;
            }
            else if (m_nonOptionEnd != -1)
            {
                Permute(argv, m_index);
                m_nonOptionStart = m_index - (m_nonOptionEnd - m_nonOptionStart);
                m_nonOptionEnd = -1;
            }
            ++m_index;
            continue;
        }
        if (m_nonOptionStart != -1 && m_nonOptionEnd == -1)
        {
            m_nonOptionEnd = m_index;
        }

        // "-" alone stays as it is; "--" alone ends the scan.
        if (element[1] != L'\0')
        {
            ++m_place;
            if (*m_place == L'-' && m_place[1] == L'\0')
            {
                ++m_index;
                m_place = kEmpty;
                if (m_nonOptionEnd != -1)
                {
                    Permute(argv, m_index);
                    m_index -= m_nonOptionEnd - m_nonOptionStart;
                }
                m_nonOptionStart = m_nonOptionEnd = -1;
                return -1;
            }
        }
    }

    // A long option: the element began with "--" and has more characters.
    if (longOptions != nullptr && m_place != argv[m_index] && *m_place == L'-')
    {
        ++m_place;
        const int result = ParseLongOption(argc, argv, shortOptions, longOptions, longIndex, printErrors);
        m_place = kEmpty;
        return result;
    }

    const int optionChar = *m_place++;
    const wchar_t* optionEntry = nullptr;
    if (optionChar == L':' || (optionChar == L'-' && *m_place != L'\0') ||
        (optionEntry = std::wcschr(shortOptions, static_cast<wchar_t>(optionChar))) == nullptr)
    {
        // A '-' ending a cluster counts as a non-option, as POSIX has it.
        if (optionChar == L'-' && *m_place == L'\0')
        {
            return -1;
        }
        if (*m_place == L'\0')
        {
            ++m_index;
        }
        if (printErrors)
        {
            Report(argv, argc, std::wstring(L"unknown option -- ") + static_cast<wchar_t>(optionChar));
        }
        m_errorOption = optionChar;
        return kBadChar;
    }

    if (optionEntry[1] != L':')
    {
        if (*m_place == L'\0')
        {
            ++m_index;
        }
    }
    else
    {
        m_argument = nullptr;
        if (*m_place != L'\0')
        {
            m_argument = m_place;
        }
        else if (optionEntry[2] != L':')
        {
            if (++m_index >= argc)
            {
                m_place = kEmpty;
                if (printErrors)
                {
                    Report(argv, argc,
                           std::wstring(L"option requires an argument -- ") +
                               static_cast<wchar_t>(optionChar));
                }
                m_errorOption = optionChar;
                return badArgument;
            }
            m_argument = argv[m_index];
        }
        m_place = kEmpty;
        ++m_index;
    }
    return optionChar;
}

int CGetOptLong::ParseLongOption(int argc, wchar_t** argv, const wchar_t* shortOptions,
                                 const LongOption* longOptions, int* longIndex, bool printErrors)
{
    const int badArgument = *shortOptions == L':' ? ':' : kBadChar;
    const wchar_t* current = m_place;
    ++m_index;

    const wchar_t* equals = std::wcschr(current, L'=');
    const std::size_t nameLength =
        equals != nullptr ? static_cast<std::size_t>(equals - current) : std::wcslen(current);
    const wchar_t* value = equals != nullptr ? equals + 1 : nullptr;
    const std::wstring name(current, nameLength);

    int match = -1;
    bool ambiguous = false;
    for (int i = 0; longOptions[i].name != nullptr; ++i)
    {
        if (std::wcsncmp(current, longOptions[i].name, nameLength) != 0)
        {
            continue;
        }
        if (std::wcslen(longOptions[i].name) == nameLength)
        {
            match = i;
            ambiguous = false;
            break;
        }
        if (match == -1)
        {
            match = i;
        }
        else if (!SameInterpretation(longOptions[i], longOptions[match]))
        {
            ambiguous = true;
        }
    }

    if (ambiguous)
    {
        if (printErrors)
        {
            Report(argv, argc, L"ambiguous option -- " + name);
        }
        m_errorOption = 0;
        return kBadChar;
    }
    if (match == -1)
    {
        if (printErrors)
        {
            Report(argv, argc, std::wstring(L"unknown option -- ") + current);
        }
        m_errorOption = 0;
        return kBadChar;
    }

    const LongOption& option = longOptions[match];
    if (option.argument == ArgumentMode::None && value != nullptr)
    {
        if (printErrors)
        {
            Report(argv, argc, L"option doesn't take an argument -- " + name);
        }
        m_errorOption = ErrorOptionOf(option);
        return badArgument;
    }
    if (option.argument != ArgumentMode::None)
    {
        if (value != nullptr)
        {
            m_argument = value;
        }
        else if (option.argument == ArgumentMode::Required)
        {
            // An optional argument never takes the next element.
            m_argument = m_index < argc ? argv[m_index] : nullptr;
            ++m_index;
        }
    }
    if (option.argument == ArgumentMode::Required && m_argument == nullptr)
    {
        if (printErrors)
        {
            Report(argv, argc, std::wstring(L"option requires an argument -- ") + current);
        }
        m_errorOption = ErrorOptionOf(option);
        --m_index;
        return badArgument;
    }

    if (longIndex != nullptr)
    {
        *longIndex = match;
    }
    if (option.flag != nullptr)
    {
        *option.flag = option.value;
        return 0;
    }
    return option.value;
}
