#pragma once
#include <windows.h>

#include "platform/Event.h"

// Called by the system on its own thread for console control events. Ctrl+C and Ctrl+Break ask the
// processing run to stop (the stop event) and keep the process alive (TRUE) so the run can end in
// order; closing the console, logoff and shutdown do the same and then wait (bounded, within what the
// system allows) until the run has ended (RunEndedEvent), because the system ends the process as soon
// as the handler returns. Other control types are left to the next handler (FALSE).
BOOL WINAPI ConsoleInterruptHandler(DWORD controlType);

// Set by the processing run when it has ended in order.
CEvent& RunEndedEvent();

// Registers ConsoleInterruptHandler; done once the processing manager has started, in a console run
// only (a service gets logoff events of every user: it must never end on them). False when the
// system refuses it.
bool InstallConsoleInterruptHandler();
