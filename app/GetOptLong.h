#pragma once
// A wide-character getopt_long with the BSD semantics: non-options are stepped over and moved behind
// the options when the scan ends (unless POSIXLY_CORRECT exists when the scan begins, or the short
// option string starts with '+'), short options may be clustered, "--" ends the scan, long options
// match exactly or by an unambiguous prefix and take "=value" or the next element.
// Every error is reported as "<argv[0]>: <message>\n" and the scan returns '?' (':' for a missing
// argument when the short option string starts with ':', which also silences the messages).
#include <functional>
#include <string>

enum class ArgumentMode
{
    None,
    Required,
    Optional,
};

struct LongOption
{
    const wchar_t* name; // null name ends the table
    ArgumentMode argument;
    int* flag; // when not null: receives value and the scan returns 0
    int value;
};

class CGetOptLong
{
public:
    // Receives each complete error line; the default writes it to standard error.
    using ErrorSink = std::function<void(const std::wstring&)>;
    // Tells whether POSIXLY_CORRECT exists; the default asks the C runtime's environment.
    using EnvironmentProbe = std::function<bool()>;

    explicit CGetOptLong(ErrorSink errorSink = {}, EnvironmentProbe posixlyCorrect = {});

    // Starts a new scan from element 1: no cluster in progress, no pending permutation.
    void Reset();

    // The next option character, its long option's value, 0 for a long option with a flag, '?' (or
    // ':') for an error, or -1 when the scan has ended. argv is permuted in place.
    int Next(int argc, wchar_t** argv, const wchar_t* shortOptions, const LongOption* longOptions,
             int* longIndex = nullptr);

    // The argument of the option just returned, or null.
    const wchar_t* Argument() const noexcept { return m_argument; }
    // The index of the next element to scan; after the end, the first element left over.
    int Index() const noexcept { return m_index; }
    // The option character of the last error (0 for an unknown or ambiguous long option).
    int ErrorOption() const noexcept { return m_errorOption; }
    // When false, no error messages are written.
    void SetPrintErrors(bool print) noexcept { m_printErrors = print; }

private:
    int ParseLongOption(int argc, wchar_t** argv, const wchar_t* shortOptions, const LongOption* longOptions,
                        int* longIndex, bool printErrors);
    void Permute(wchar_t** argv, int optionEnd);
    void Report(wchar_t** argv, int argc, const std::wstring& message) const;

    ErrorSink m_errorSink;
    EnvironmentProbe m_posixlyCorrect;
    bool m_printErrors = true;

    int m_index = 1;
    bool m_reset = true;
    const wchar_t* m_place = L"";
    const wchar_t* m_argument = nullptr;
    int m_errorOption = 0;
    int m_nonOptionStart = -1;
    int m_nonOptionEnd = -1;
    bool m_posixly = false;
};
