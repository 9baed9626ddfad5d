#pragma once
// The service side of the process: the entry function the dispatcher runs on its own thread and the
// control handler it calls on the dispatching thread. At most one service runs per process.
#include <windows.h>

class CWinService;
class CServiceStatus;

// The service being dispatched (set by CWinService::Execute for the duration of the dispatcher call),
// or null.
CWinService* CurrentService() noexcept;
void SetCurrentService(CWinService* service) noexcept;

// The process's status record, counter and lock.
CServiceStatus& ProcessServiceStatus();

// The entry function given to StartServiceCtrlDispatcherW; argv[0] is the service name. Reports start
// pending, makes the executable's folder the current directory, builds the argument vector from the
// start arguments and the stored options, reports running, runs the current service's body and reports
// stopped only once the body has returned and its argument vector is gone.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

// The handler registered with RegisterServiceCtrlHandlerW: HandleServiceControl on the process's status
// and the current service; nothing leaves it.
void WINAPI ServiceControlHandler(DWORD control);

// Stop and shutdown report stop pending, then call OnStop or OnShutdown; pause and continue call their
// handlers without a report; any other control re-reports the current state. A null service skips
// the handler calls.
void HandleServiceControl(CServiceStatus& status, CWinService* service, DWORD control);
