#pragma once
// The status a service reports to the service control manager: one record, one lock around every
// fill-and-report, and the checkpoint counter (1 at first, taken and incremented by every report that
// carries a checkpoint, never reset).
#include <mutex>

#include <windows.h>

class CServiceStatus
{
public:
    using ReportFunction = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);

    // Accepted controls once the service runs: stop and shutdown.
    static constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

    explicit CServiceStatus(ReportFunction report = &::SetServiceStatus) : m_report(report) {}
    CServiceStatus(const CServiceStatus&) = delete;
    CServiceStatus& operator=(const CServiceStatus&) = delete;

    // Zeroes the record (a new service start) and takes the handle the reports go to.
    void Begin(SERVICE_STATUS_HANDLE handle);

    // The reports; the results of the report function are ignored.
    void ReportStartPending(); // controls 0, next checkpoint, wait hint 3000 ms
    void ReportRunning();      // stop and shutdown accepted, checkpoint 0
    void ReportStopPending();  // stop and shutdown accepted, next checkpoint, wait hint 0
    void ReportStopped();      // stop and shutdown accepted, checkpoint 0
    // Re-reports the current state: controls 0 while starting, else stop and shutdown; checkpoint 0
    // while running or stopped, else the next one; wait hint 0.
    void ReportCurrent();

    SERVICE_STATUS Current() const;

private:
    void Report(DWORD state, DWORD controls, bool checkpoint, DWORD waitHint);

    ReportFunction m_report;
    mutable std::mutex m_mutex;
    SERVICE_STATUS_HANDLE m_handle = nullptr;
    SERVICE_STATUS m_status{};
    DWORD m_checkpoint = 1;
};
