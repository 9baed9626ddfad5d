#pragma once
#include "service/WinService.h"

#include <string>

class CEvent;
class CTraceProvider;

// The program's own service "VELMAR ORVANE.CL drv": a stop or shutdown request sets the process stop
// event, and the service body runs the main routine again with the service's stored options.
class CProcessWinService : public CWinService
{
public:
    CProcessWinService(std::wstring libraryFileName, CTraceProvider* traceProvider);

    void OnStop() override;
    void OnShutdown() override;
    int Run(int argc, wchar_t** argv) override;

    const std::wstring& LibraryFileName() const noexcept { return m_libraryFileName; }
    CTraceProvider* TraceProvider() const noexcept { return m_traceProvider; }

private:
    CEvent* m_stopEvent;
    std::wstring m_libraryFileName;
    CTraceProvider* m_traceProvider;
};
