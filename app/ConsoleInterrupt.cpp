#include "app/ConsoleInterrupt.h"

#include "diagnostics/Log.h"
#include "platform/Event.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

BOOL WINAPI ConsoleInterruptHandler(DWORD)
{
    VLOG(velmar::LogSeverity::Verb5) << L"Interrupt Caught, leaving";
    try
    {
        StopEvent().Set();
    }
    catch (const EventError& error)
    {
        // Nothing may leave this thread. Without the stop event the run cannot end in order, so the
        // default handler is left to end the process.
        VLOG(velmar::LogSeverity::Fatal)
            << Utf8ToWide(error.what()) << L": " << ToHex(static_cast<std::uint32_t>(error.code())) << L" "
            << FormatSystemError(static_cast<std::uint32_t>(error.code()));
        return FALSE;
    }
    return TRUE;
}

bool InstallConsoleInterruptHandler()
{
    return platform::Api().SetConsoleCtrlHandler(&ConsoleInterruptHandler, TRUE) != FALSE;
}
