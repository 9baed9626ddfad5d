#include "service/ProcessWinService.h"

#include "platform/Event.h"

#include <cstdio>
#include <cwchar>

CProcessWinService::CProcessWinService(std::wstring libraryFileName, CTraceProvider* traceProvider)
    : CWinService(L"VELMAR ORVANE.CL drv", L"VELMAR ORVANE.CL Virtual Driver Processing",
                  L"VELMAR ORVANE.CL Virtual Driver Processing"),
      m_stopEvent(&StopEvent()), m_libraryFileName(std::move(libraryFileName)), m_traceProvider(traceProvider)
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

// Running as the service is not part of this build yet.
int CProcessWinService::Run(int, wchar_t**)
{
    std::fputws(L"service is not available in this build\n", stderr);
    std::fflush(stderr);
    return 1;
}
