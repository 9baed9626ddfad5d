#pragma once
#include "service/WinService.h"

#include <string>

class CEvent;
class CTraceProvider;

// The program's own service "VELMAR ORVANE.CL drv": a stop or shutdown request sets the process stop
// event, and the service body runs the program's main routine again with the service's argument vector.
class CProcessWinService : public CWinService
{
public:
    // The program's main routine (argument count and vector, library file name, tracing provider).
    using MainRoutineFunction = int (*)(int argc, wchar_t** argv, const std::wstring& libraryFileName,
                                        CTraceProvider* traceProvider);

    static constexpr const wchar_t* kServiceName = L"VELMAR ORVANE.CL drv";
    static constexpr const wchar_t* kDisplayName = L"VELMAR ORVANE.CL Virtual Driver Processing";
    static constexpr const wchar_t* kDescription = L"VELMAR ORVANE.CL Virtual Driver Processing";
    static constexpr const wchar_t* kRebootMessage = L"Failure, You MUST reboot your PC";

    CProcessWinService(std::wstring libraryFileName, CTraceProvider* traceProvider,
                       MainRoutineFunction mainRoutine);

    void OnStop() override;
    void OnShutdown() override;
    // The main routine with the given vector, the library file name and the provider; its exit code.
    int Run(int argc, wchar_t** argv) override;

    const std::wstring& LibraryFileName() const noexcept { return m_libraryFileName; }
    CTraceProvider* TraceProvider() const noexcept { return m_traceProvider; }

protected:
    // Protects the product key (and what exists below it) and warns when users who are not
    // administrators can change the executable's folder or the library beside it.
    bool PrepareInstall() override;
    std::vector<std::wstring> RequiredPrivileges() const override;

private:
    CEvent* m_stopEvent;
    std::wstring m_libraryFileName;
    CTraceProvider* m_traceProvider;
    MainRoutineFunction m_mainRoutine;
};
