#pragma once
// The library's own log: reports go to the host's callback (SetLoggerCallback) when their severity is
// at most the maximum set with SetLogSeverity. Safe to call from any thread.
#include "library/ProcessingLibraryApi.h"

#include <cstdint>
#include <sstream>
#include <string>

namespace velmar::reflib
{
// The severity scale shared with the host.
enum class Severity : std::int32_t
{
    None = 0,
    Fatal = 1,
    Error = 2,
    Warn = 3,
    Info = 4,
    Verb = 5,
    Debug = 10,
};

void SetLogCallback(VelmarLogCallback callback);
void SetLogMaxSeverity(std::int32_t maxSeverity);
bool IsLogEnabled(Severity severity);
void Log(Severity severity, const std::string& text);

// Log(Severity::Info, Text() << "port " << port) builds the text only when it is going to be used.
#define VELMAR_RLOG(severity, expression)                                                                    \
    do                                                                                                       \
    {                                                                                                        \
        if (::velmar::reflib::IsLogEnabled(severity))                                                        \
        {                                                                                                    \
            std::ostringstream velmarLogStream_;                                                             \
            velmarLogStream_ << expression;                                                                  \
            ::velmar::reflib::Log(severity, velmarLogStream_.str());                                         \
        }                                                                                                    \
    } while (false)
} // namespace velmar::reflib
