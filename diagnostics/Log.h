#pragma once
// Logging front door of the program.
//   VLOG(velmar::LogSeverity::Info) << L"text";        plog::Logger<0>, the default logger
//   VLOG_ASYNC(velmar::LogSeverity::Info) << L"text";  plog::Logger<1>, the non-blocking audio-path logger
// Both test that the logger exists and lets the severity through before a record is built; records
// carry empty function and file texts.
#include "diagnostics/AsyncRecord.h"
#include "diagnostics/LogSeverity.h"

#include <plog/Log.h>

namespace velmar
{
// Only an enumeration with a fixed underlying type can be list-initialised from an integer.
template <typename Enumeration>
concept HasFixedUnderlyingType = requires
{
    Enumeration{10};
};
// plog's enumerators end at 6; scripts/bootstrap gives the staged enumeration the underlying type int,
// so that VERB4 (8) to DEBUG (10) are values of plog::Severity and not undefined conversions.
static_assert(HasFixedUnderlyingType<plog::Severity>, "run scripts/bootstrap: plog::Severity needs ': int'");

constexpr plog::Severity ToPlog(LogSeverity severity) noexcept
{
    return plog::Severity{static_cast<int>(severity)};
}
} // namespace velmar

#define VLOG_INSTANCE(instanceId, severity)                                                                  \
    IF_PLOG_(instanceId, ::velmar::ToPlog(severity))                                                         \
    (*plog::get<instanceId>()) +=                                                                            \
        plog::Record(::velmar::ToPlog(severity), "", __LINE__, "", nullptr, instanceId).ref()

#define VLOG(severity) VLOG_INSTANCE(0, severity)
// The thread's reusable record (diagnostics/AsyncRecord.h): no allocation, no time-zone query.
#define VLOG_ASYNC(severity)                                                                                 \
    IF_PLOG_(1, ::velmar::ToPlog(severity))                                                                  \
    (*plog::get<1>()) += ::plog::detail::AsyncRecord::Next(::velmar::ToPlog(severity)).ref()
