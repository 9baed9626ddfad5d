#include "app/ConsoleInterrupt.h"

#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/Event.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

namespace
{

void ReportFailure(const std::exception* error)
{
    if (const auto* eventError = dynamic_cast<const EventError*>(error))
    {
        const auto code = static_cast<std::uint32_t>(eventError->code());
        VLOG(velmar::LogSeverity::Fatal)
            << Utf8ToWide(eventError->what()) << L": " << ToHex(code) << L" " << FormatSystemError(code);
        return;
    }
    VLOG(velmar::LogSeverity::Fatal) << L"Console interrupt failed: "
                                     << (error != nullptr ? Utf8ToWide(error->what()) : L"unknown error");
}

} // namespace

BOOL WINAPI ConsoleInterruptHandler(DWORD)
{
    // Nothing may leave into the system's thread. A log that fails does not keep the run from stopping;
    // when the stop event cannot be set the run cannot end in order, so the default handler is left to
    // end the process.
    CatchAtBoundary([] { VLOG(velmar::LogSeverity::Verb5) << L"Interrupt Caught, leaving"; });
    return CatchAtBoundary([] { StopEvent().Set(); }, &ReportFailure) ? TRUE : FALSE;
}

bool InstallConsoleInterruptHandler()
{
    return platform::Api().SetConsoleCtrlHandler(&ConsoleInterruptHandler, TRUE) != FALSE;
}
