#include "app/ConsoleInterrupt.h"

#include "diagnostics/BoundaryLog.h"
#include "platform/Event.h"
#include "platform/SystemApi.h"

namespace
{

// Within the five seconds the system gives a console that is closed, logged off or shut down.
constexpr DWORD kCloseGraceMs = 4500;

} // namespace

BOOL WINAPI ConsoleInterruptHandler(DWORD controlType)
{
    switch (controlType)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    // Nothing may leave into the system's thread. The stop comes first, so that a log that blocks or
    // fails cannot keep the run from stopping; when the stop event cannot be set the run cannot end in
    // order, so the default handler is left to end the process.
    if (!CatchAndLog(velmar::LogSeverity::Fatal, L"Console interrupt failed", [] { StopEvent().Set(); }))
    {
        return FALSE;
    }
    platform::CatchAtBoundary([] { VLOG(velmar::LogSeverity::Verb5) << L"Interrupt Caught, leaving"; });
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT)
    {
        // The system ends the process once this returns (or after about five seconds): give the run the
        // time it has to end in order.
        platform::Api().WaitForSingleObject(RunEndedEvent().Handle(), kCloseGraceMs);
    }
    return TRUE;
}

CEvent& RunEndedEvent()
{
    static CEvent ended;
    return ended;
}

bool InstallConsoleInterruptHandler()
{
    return platform::Api().SetConsoleCtrlHandler(&ConsoleInterruptHandler, TRUE) != FALSE;
}
