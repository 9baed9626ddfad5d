#pragma once

namespace velmar
{

// The severity scale shared with the processing library. The same numbers are used as plog
// severities: a record passes a logger when its severity is at most the logger's maximum.
enum class LogSeverity : int
{
    None = 0,
    Fatal = 1,
    Error = 2,
    Warn = 3,
    Info = 4,
    Verb = 5,
    Verb2 = 6,
    Verb3 = 7,
    Verb4 = 8,
    Verb5 = 9,
    Debug = 10,
};

// "NONE", "FATAL", ... "DEBUG"; "NONE" for any value outside 1..10.
const wchar_t* SeverityName(int severity) noexcept;

} // namespace velmar
