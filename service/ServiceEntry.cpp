#include "service/ServiceEntry.h"

#include "diagnostics/BoundaryLog.h"
#include "service/ExecutablePath.h"
#include "service/ServiceArguments.h"
#include "service/ServiceStatus.h"
#include "service/WinService.h"

#include <atomic>

namespace
{

std::atomic<CWinService*> g_currentService{nullptr};

void RunServiceMain(DWORD argc, LPWSTR* argv)
{
    CServiceStatus& status = ProcessServiceStatus();
    const wchar_t* name = (argc > 0 && argv != nullptr && argv[0] != nullptr) ? argv[0] : L"";
    const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerW(name, &ServiceControlHandler);
    if (handle == nullptr)
    {
        return;
    }
    status.Begin(handle);
    // Stays 1 when the run ends by an exception.
    int exitCode = 1;
    CatchAndLog(velmar::LogSeverity::Fatal, L"The service run failed",
                [&]
                {
                    status.ReportStartPending();
                    const std::wstring folder = FolderOf(ExecutablePath());
                    if (!folder.empty())
                    {
                        ::SetCurrentDirectoryW(folder.c_str());
                    }
                    CWinService* const service = CurrentService();
                    CServiceArguments arguments;
                    arguments.SplitCommandLine(ServiceCommandLine(service, argc, argv));
                    status.ReportRunning();
                    exitCode = service != nullptr ? service->Run(arguments.Count(), arguments.Vector()) : 0;
                });
    // Once stopped is reported the process may end at any moment: the run and its argument vector are
    // gone by then, also when the run failed.
    status.ReportStopped(static_cast<DWORD>(exitCode));
}

} // namespace

CWinService* CurrentService() noexcept
{
    return g_currentService.load();
}

void SetCurrentService(CWinService* service) noexcept
{
    g_currentService.store(service);
}

CServiceStatus& ProcessServiceStatus()
{
    static CServiceStatus status;
    return status;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    CatchAndLog(velmar::LogSeverity::Fatal, L"The service entry failed", [&] { RunServiceMain(argc, argv); });
}

void WINAPI ServiceControlHandler(DWORD control)
{
    CatchAndLog(velmar::LogSeverity::Fatal, L"The service control failed",
                [&] { HandleServiceControl(ProcessServiceStatus(), CurrentService(), control); });
}

void HandleServiceControl(CServiceStatus& status, CWinService* service, DWORD control)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
        status.ReportStopPending();
        if (service != nullptr)
        {
            service->OnStop();
        }
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        status.ReportStopPending();
        if (service != nullptr)
        {
            service->OnShutdown();
        }
        break;
    case SERVICE_CONTROL_PAUSE:
        if (service != nullptr)
        {
            service->OnPause();
        }
        break;
    case SERVICE_CONTROL_CONTINUE:
        if (service != nullptr)
        {
            service->OnContinue();
        }
        break;
    default:
        status.ReportCurrent();
        break;
    }
}
