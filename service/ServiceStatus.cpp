#include "service/ServiceStatus.h"

#include "platform/Boundary.h"
#include "service/ServiceApi.h"

CServiceStatus::~CServiceStatus()
{
    EndStopReports();
}

void CServiceStatus::Begin(SERVICE_STATUS_HANDLE handle)
{
    EndStopReports();
    {
        std::lock_guard reporter(m_reporterMutex);
        m_reporterEnd = false;
    }
    std::lock_guard lock(m_mutex);
    m_status = SERVICE_STATUS{};
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_handle = handle;
}

void CServiceStatus::ReportStartPending()
{
    Report(SERVICE_START_PENDING, 0, true, kStartWaitHintMs);
}

void CServiceStatus::ReportRunning()
{
    Report(SERVICE_RUNNING, kControlsAccepted, false, 0);
}

void CServiceStatus::ReportStopPending()
{
    Report(SERVICE_STOP_PENDING, kControlsAccepted, true, kStopWaitHintMs);
    std::lock_guard lock(m_reporterMutex);
    if (!m_reporter.joinable() && !m_reporterEnd)
    {
        m_reporter = std::thread([this] { platform::CatchAtBoundary([this] { ReportWhileStopping(); }); });
    }
}

void CServiceStatus::ReportStopped(DWORD serviceExitCode)
{
    EndStopReports();
    Report(SERVICE_STOPPED, 0, false, 0, serviceExitCode);
}

void CServiceStatus::ReportCurrent()
{
    std::lock_guard lock(m_mutex);
    const DWORD state = m_status.dwCurrentState;
    m_status.dwControlsAccepted =
        (state == SERVICE_START_PENDING || state == SERVICE_STOPPED) ? 0 : kControlsAccepted;
    m_status.dwWin32ExitCode = 0;
    m_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : m_checkpoint++;
    m_status.dwWaitHint = state == SERVICE_START_PENDING  ? kStartWaitHintMs
                          : state == SERVICE_STOP_PENDING ? kStopWaitHintMs
                                                          : 0;
    Send();
}

SERVICE_STATUS CServiceStatus::Current() const
{
    std::lock_guard lock(m_mutex);
    return m_status;
}

void CServiceStatus::Report(DWORD state, DWORD controls, bool checkpoint, DWORD waitHint,
                            DWORD serviceExitCode)
{
    std::lock_guard lock(m_mutex);
    if (m_status.dwCurrentState == SERVICE_STOPPED)
    {
        // A control that raced with the end of the run: after stopped only a new start reports.
        return;
    }
    m_status.dwCurrentState = state;
    m_status.dwControlsAccepted = controls;
    // A code of the service's own travels as ERROR_SERVICE_SPECIFIC_ERROR with the code beside it.
    m_status.dwWin32ExitCode = serviceExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
    m_status.dwServiceSpecificExitCode = serviceExitCode;
    m_status.dwCheckPoint = checkpoint ? m_checkpoint++ : 0;
    m_status.dwWaitHint = waitHint;
    Send();
}

void CServiceStatus::Send()
{
    const ReportFunction report = m_report != nullptr ? m_report : service::Api().SetServiceStatus;
    report(m_handle, &m_status);
}

void CServiceStatus::ReportWhileStopping()
{
    std::unique_lock reporter(m_reporterMutex);
    while (!m_reporterWake.wait_for(reporter, m_stopReportInterval, [this] { return m_reporterEnd; }))
    {
        std::lock_guard lock(m_mutex);
        if (m_status.dwCurrentState != SERVICE_STOP_PENDING)
        {
            continue;
        }
        m_status.dwCheckPoint = m_checkpoint++;
        m_status.dwWaitHint = kStopWaitHintMs;
        Send();
    }
}

void CServiceStatus::EndStopReports()
{
    std::thread reporter;
    {
        std::lock_guard lock(m_reporterMutex);
        m_reporterEnd = true;
        reporter = std::move(m_reporter);
    }
    m_reporterWake.notify_all();
    if (reporter.joinable())
    {
        reporter.join();
    }
}
