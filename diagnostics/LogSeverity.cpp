#include "diagnostics/LogSeverity.h"

namespace velmar
{

const wchar_t* SeverityName(int severity) noexcept
{
    static const wchar_t* const names[] = {L"NONE",  L"FATAL", L"ERROR", L"WARN",  L"INFO", L"VERB",
                                           L"VERB2", L"VERB3", L"VERB4", L"VERB5", L"DEBUG"};
    if (severity < 1 || severity > 10)
    {
        return names[0];
    }
    return names[severity];
}

} // namespace velmar
