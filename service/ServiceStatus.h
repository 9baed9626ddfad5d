#pragma once
// The status a service reports to the service control manager: one record, one lock around every
// fill-and-report, and the checkpoint counter (1 at first, taken and incremented by every report that
// carries a checkpoint, never reset).
//
// While the service stops, a reporter thread re-reports stop pending with the next checkpoint every
// interval, so that the manager and a waiting "-K" see progress through a teardown of many seconds;
// reporting stopped ends it.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <windows.h>

class CServiceStatus
{
public:
    using ReportFunction = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);

    // Accepted controls once the service runs: stop and shutdown.
    static constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    static constexpr DWORD kStartWaitHintMs = 3000;
    // Well above the reporter's interval: a missed beat is not yet a hung service.
    static constexpr DWORD kStopWaitHintMs = 5000;
    static constexpr std::chrono::milliseconds kStopReportInterval{1000};

    // Reports go through report, or through the service call table (SetServiceStatus) when it is null.
    explicit CServiceStatus(ReportFunction report = nullptr,
                            std::chrono::milliseconds stopReportInterval = kStopReportInterval)
        : m_report(report), m_stopReportInterval(stopReportInterval)
    {
    }
    ~CServiceStatus();
    CServiceStatus(const CServiceStatus&) = delete;
    CServiceStatus& operator=(const CServiceStatus&) = delete;

    // Zeroes the record (a new service start) and takes the handle the reports go to. Once stopped is
    // reported, nothing else is until the next Begin.
    void Begin(SERVICE_STATUS_HANDLE handle);

    // The reports; the results of the report function are ignored.
    void ReportStartPending(); // controls 0, next checkpoint, start wait hint
    void ReportRunning();      // stop and shutdown accepted, checkpoint 0
    // Stop and shutdown accepted, next checkpoint, stop wait hint; starts the reporter thread.
    void ReportStopPending();
    // Ends the reporter thread, then reports stopped: no controls, checkpoint 0, wait hint 0. A run that
    // ended by a failure gives its non-zero exit code, reported as a service-specific error (so that
    // failure actions set to apply to non-crash failures run).
    void ReportStopped(DWORD serviceExitCode = 0);
    // Re-reports the current state: controls 0 while starting or stopped, else stop and shutdown;
    // checkpoint 0 while running or stopped, else the next one; the pending states keep their hint.
    void ReportCurrent();

    SERVICE_STATUS Current() const;

private:
    void Report(DWORD state, DWORD controls, bool checkpoint, DWORD waitHint, DWORD serviceExitCode = 0);
    void Send();
    void ReportWhileStopping();
    void EndStopReports();

    ReportFunction m_report;
    std::chrono::milliseconds m_stopReportInterval;
    mutable std::mutex m_mutex;
    SERVICE_STATUS_HANDLE m_handle = nullptr;
    SERVICE_STATUS m_status{};
    DWORD m_checkpoint = 1;

    // The reporter thread; started and joined only under m_reporterMutex, which m_mutex never waits for.
    std::mutex m_reporterMutex;
    std::condition_variable m_reporterWake;
    bool m_reporterEnd = false;
    std::thread m_reporter;
};
