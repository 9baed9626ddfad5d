#pragma once
#include <windows.h>

// Called by the system on its own thread for every console control event: asks the processing run
// to stop by setting the stop event, and keeps the process alive (TRUE) so the run can end in order.
BOOL WINAPI ConsoleInterruptHandler(DWORD controlType);

// Registers ConsoleInterruptHandler; done once the processing manager has started. False when the
// system refuses it.
bool InstallConsoleInterruptHandler();
