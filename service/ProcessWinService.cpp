#include "service/ProcessWinService.h"

#include "platform/Event.h"

namespace
{

// Restart after 100 ms on each of the first three failures; the count starts again after a day.
ServiceFailureActions RestartOnFailure()
{
    ServiceFailureActions failure;
    failure.resetPeriod = 86400;
    failure.rebootMessage = CProcessWinService::kRebootMessage;
    failure.command = nullptr;
    failure.actions.assign(3, SC_ACTION{SC_ACTION_RESTART, 100});
    return failure;
}

} // namespace

CProcessWinService::CProcessWinService(std::wstring libraryFileName, CTraceProvider* traceProvider,
                                       MainRoutineFunction mainRoutine)
    : CWinService(kServiceName, kDisplayName, kDescription, {}, {}, RestartOnFailure()),
      m_stopEvent(&StopEvent()), m_libraryFileName(std::move(libraryFileName)),
      m_traceProvider(traceProvider), m_mainRoutine(mainRoutine)
{
}

void CProcessWinService::OnStop()
{
    m_stopEvent->Set();
}

void CProcessWinService::OnShutdown()
{
    m_stopEvent->Set();
}

int CProcessWinService::Run(int argc, wchar_t** argv)
{
    return m_mainRoutine != nullptr ? m_mainRoutine(argc, argv, m_libraryFileName, m_traceProvider) : 0;
}
