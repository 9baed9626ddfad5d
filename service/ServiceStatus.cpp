#include "service/ServiceStatus.h"

void CServiceStatus::Begin(SERVICE_STATUS_HANDLE handle)
{
    std::lock_guard lock(m_mutex);
    m_status = SERVICE_STATUS{};
    m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_handle = handle;
}

void CServiceStatus::ReportStartPending()
{
    Report(SERVICE_START_PENDING, 0, true, 3000);
}

void CServiceStatus::ReportRunning()
{
    Report(SERVICE_RUNNING, kControlsAccepted, false, 0);
}

void CServiceStatus::ReportStopPending()
{
    Report(SERVICE_STOP_PENDING, kControlsAccepted, true, 0);
}

void CServiceStatus::ReportStopped()
{
    Report(SERVICE_STOPPED, kControlsAccepted, false, 0);
}

void CServiceStatus::ReportCurrent()
{
    std::lock_guard lock(m_mutex);
    const DWORD state = m_status.dwCurrentState;
    m_status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kControlsAccepted;
    m_status.dwWin32ExitCode = 0;
    m_status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : m_checkpoint++;
    m_status.dwWaitHint = 0;
    m_report(m_handle, &m_status);
}

SERVICE_STATUS CServiceStatus::Current() const
{
    std::lock_guard lock(m_mutex);
    return m_status;
}

void CServiceStatus::Report(DWORD state, DWORD controls, bool checkpoint, DWORD waitHint)
{
    std::lock_guard lock(m_mutex);
    m_status.dwCurrentState = state;
    m_status.dwControlsAccepted = controls;
    m_status.dwWin32ExitCode = 0;
    m_status.dwServiceSpecificExitCode = 0;
    m_status.dwCheckPoint = checkpoint ? m_checkpoint++ : 0;
    m_status.dwWaitHint = waitHint;
    m_report(m_handle, &m_status);
}
