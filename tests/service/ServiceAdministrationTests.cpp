// Service administration and status reporting through the service call table: a scripted service
// control manager, a clock that only the stop polling's sleeps move, and the console text.
#include "ApiOverride.h"
#include "WaitUntil.h"

#include "platform/SystemApi.h"
#include "service/FolderSecurity.h"
#include "service/ProcessWinService.h"
#include "service/ServiceApi.h"
#include "service/ServiceEntry.h"
#include "service/ServiceStatus.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <deque>
#include <mutex>
#include <vector>

namespace
{

const SC_HANDLE kManager = reinterpret_cast<SC_HANDLE>(0x5c0001);
const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(0x5c0002);

// What the fakes answer and what they saw. One per test.
struct CScmWorld
{
    int missingOpens = 0;                        // OpenServiceW fails this many times first
    std::deque<SERVICE_STATUS_PROCESS> statuses; // answered in order; the last one repeats
    DWORD controlError = 0;                      // ControlService fails with it; 0 accepts
    int controls = 0;
    int queries = 0;
    int starts = 0;
    int deletes = 0;
    ULONGLONG clock = 0;
    std::vector<DWORD> sleeps;
    std::wstring errors;
    DWORD sidType = ~0u;
    int failureActionsOnNonCrash = -1;
    std::vector<std::wstring> privileges;
    std::wstring writableSddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    std::vector<std::wstring> securityPaths;
    std::vector<std::wstring> warnings; // event-log reports of the warning type
};
CScmWorld g_scm;

SERVICE_STATUS_PROCESS Status(DWORD state, DWORD checkpoint = 0, DWORD waitHint = 0)
{
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkpoint;
    status.dwWaitHint = waitHint;
    return status;
}

SC_HANDLE WINAPI FakeOpenManager(LPCWSTR, LPCWSTR, DWORD)
{
    return kManager;
}
SC_HANDLE WINAPI FakeOpenService(SC_HANDLE, LPCWSTR, DWORD)
{
    if (g_scm.missingOpens > 0)
    {
        --g_scm.missingOpens;
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return kService;
}
BOOL WINAPI FakeClose(SC_HANDLE handle)
{
    EXPECT_TRUE(handle == kManager || handle == kService);
    return TRUE;
}
BOOL WINAPI FakeQuery(SC_HANDLE, SC_STATUS_TYPE, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    ++g_scm.queries;
    *needed = sizeof(SERVICE_STATUS_PROCESS);
    EXPECT_EQ(size, sizeof(SERVICE_STATUS_PROCESS));
    *reinterpret_cast<SERVICE_STATUS_PROCESS*>(buffer) = g_scm.statuses.front();
    if (g_scm.statuses.size() > 1)
    {
        g_scm.statuses.pop_front();
    }
    return TRUE;
}
BOOL WINAPI FakeControl(SC_HANDLE, DWORD control, LPSERVICE_STATUS)
{
    EXPECT_EQ(control, static_cast<DWORD>(SERVICE_CONTROL_STOP));
    ++g_scm.controls;
    if (g_scm.controlError != 0)
    {
        SetLastError(g_scm.controlError);
        return FALSE;
    }
    return TRUE;
}
ULONGLONG WINAPI FakeTicks()
{
    return g_scm.clock;
}
VOID WINAPI FakeSleep(DWORD milliseconds)
{
    g_scm.sleeps.push_back(milliseconds);
    g_scm.clock += milliseconds;
}
void CaptureError(const std::wstring& text)
{
    g_scm.errors += text;
}
SC_HANDLE WINAPI FakeCreate(SC_HANDLE, LPCWSTR, LPCWSTR, DWORD, DWORD, DWORD, DWORD, LPCWSTR, LPCWSTR,
                            LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR)
{
    return kService;
}
BOOL WINAPI FakeChangeConfig(SC_HANDLE, DWORD level, LPVOID info)
{
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
    {
        g_scm.failureActionsOnNonCrash =
            static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures;
    }
    if (level == SERVICE_CONFIG_SERVICE_SID_INFO)
    {
        g_scm.sidType = static_cast<SERVICE_SID_INFO*>(info)->dwServiceSidType;
    }
    if (level == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO)
    {
        for (const wchar_t* name =
                 static_cast<SERVICE_REQUIRED_PRIVILEGES_INFOW*>(info)->pmszRequiredPrivileges;
             *name != L'\0'; name += wcslen(name) + 1)
        {
            g_scm.privileges.emplace_back(name);
        }
    }
    return TRUE;
}
BOOL WINAPI FakeStart(SC_HANDLE, DWORD, LPCWSTR*)
{
    ++g_scm.starts;
    return TRUE;
}
BOOL WINAPI FakeDelete(SC_HANDLE)
{
    ++g_scm.deletes;
    return TRUE;
}
DWORD WINAPI FakeSecurity(LPCWSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL* dacl, PACL*,
                          PSECURITY_DESCRIPTOR* descriptor)
{
    g_scm.securityPaths.emplace_back(path);
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(g_scm.writableSddl.c_str(),
                                                                     SDDL_REVISION_1, descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    EXPECT_TRUE(GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted));
    return ERROR_SUCCESS;
}
BOOL WINAPI FakeReportEvent(HANDLE, WORD type, WORD, DWORD, PSID, WORD count, DWORD, LPCWSTR* strings, LPVOID)
{
    if (type == EVENTLOG_WARNING_TYPE && count == 1)
    {
        g_scm.warnings.emplace_back(strings[0]);
    }
    return TRUE;
}

class ServiceAdministration : public ::testing::Test
{
protected:
    ServiceAdministration() { g_scm = CScmWorld{}; }

    // A fresh script for the next operation.
    static void Script(std::deque<SERVICE_STATUS_PROCESS> statuses, DWORD controlError)
    {
        g_scm = CScmWorld{};
        g_scm.statuses = std::move(statuses);
        g_scm.controlError = controlError;
    }

    template <typename Fn> using Override = CApiOverride<Fn>;
    service::ServiceApi& m_api = service::Api();
    Override<decltype(&::OpenSCManagerW)> m_manager{m_api.OpenSCManagerW, &FakeOpenManager};
    Override<decltype(&::OpenServiceW)> m_open{m_api.OpenServiceW, &FakeOpenService};
    Override<decltype(&::QueryServiceStatusEx)> m_query{m_api.QueryServiceStatusEx, &FakeQuery};
    Override<decltype(&::ControlService)> m_control{m_api.ControlService, &FakeControl};
    Override<decltype(&::CreateServiceW)> m_create{m_api.CreateServiceW, &FakeCreate};
    Override<decltype(&::ChangeServiceConfig2W)> m_config{m_api.ChangeServiceConfig2W, &FakeChangeConfig};
    Override<decltype(&::StartServiceW)> m_start{m_api.StartServiceW, &FakeStart};
    Override<decltype(&::DeleteService)> m_delete{m_api.DeleteService, &FakeDelete};
    Override<decltype(&::GetTickCount64)> m_ticks{m_api.GetTickCount64, &FakeTicks};
    Override<decltype(&::Sleep)> m_sleep{m_api.Sleep, &FakeSleep};
    Override<decltype(&::GetNamedSecurityInfoW)> m_security{m_api.GetNamedSecurityInfoW, &FakeSecurity};
    Override<void (*)(const std::wstring&)> m_errors{m_api.WriteError, &CaptureError};
    Override<decltype(&::CloseServiceHandle)> m_close{platform::Api().CloseServiceHandle, &FakeClose};
    Override<decltype(&::ReportEventW)> m_event{platform::Api().ReportEventW, &FakeReportEvent};
    CWinService m_service{L"OrvaneScriptedService", L"", L""};
};

TEST_F(ServiceAdministration, RefusedStopIsFinalOnlyWhileTheServiceStillRuns)
{
    // Refused, but stopping by then: polled at a tenth of its wait hint until it has stopped.
    Script({Status(SERVICE_RUNNING), Status(SERVICE_STOP_PENDING, 1, 2000),
            Status(SERVICE_STOP_PENDING, 2, 2000), Status(SERVICE_STOPPED)},
           ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_TRUE(m_service.Execute(ServiceOperation::Stop, L""));
    EXPECT_EQ(g_scm.sleeps, (std::vector<DWORD>{200, 200}));
    EXPECT_EQ(g_scm.errors, L"");

    // Refused because it stopped in between.
    Script({Status(SERVICE_RUNNING)}, ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_TRUE(m_service.Execute(ServiceOperation::Stop, L""));
    Script({Status(SERVICE_RUNNING), Status(SERVICE_STOPPED)}, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_TRUE(m_service.Execute(ServiceOperation::Stop, L""));
    EXPECT_EQ(g_scm.errors, L"");

    // Refused while it still runs: the reason with the system's text on standard error, and a restart
    // does not go on to start it.
    Script({Status(SERVICE_RUNNING)}, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_FALSE(m_service.Execute(ServiceOperation::Restart, L""));
    EXPECT_EQ(g_scm.starts, 0);
    EXPECT_NE(g_scm.errors.find(L"refused the stop request"), std::wstring::npos) << g_scm.errors;
    EXPECT_NE(g_scm.errors.find(service::SystemErrorText(ERROR_SERVICE_CANNOT_ACCEPT_CTRL) + L"\n"),
              std::wstring::npos)
        << g_scm.errors;
}

TEST_F(ServiceAdministration, StopThatNeverEndsIsPolledToTheEndOfTheBudget)
{
    Script({Status(SERVICE_RUNNING), Status(SERVICE_STOP_PENDING, 1, 0)}, 0);
    EXPECT_FALSE(m_service.Execute(ServiceOperation::Stop, L""));
    EXPECT_EQ(g_scm.controls, 1);
    EXPECT_GE(g_scm.clock, 30000u);
    for (const DWORD sleep : g_scm.sleeps)
    {
        EXPECT_GT(sleep, 0u);
    }
    EXPECT_NE(g_scm.errors.find(L"did not stop within 30 s"), std::wstring::npos) << g_scm.errors;
}

TEST_F(ServiceAdministration, UninstallStopsOnceThenDeletes)
{
    Script({Status(SERVICE_RUNNING), Status(SERVICE_STOPPED)}, 0);
    EXPECT_TRUE(m_service.Execute(ServiceOperation::Uninstall, L""));
    EXPECT_EQ(g_scm.controls, 1);
    EXPECT_EQ(g_scm.queries, 2);
    EXPECT_EQ(g_scm.deletes, 1);
}

TEST_F(ServiceAdministration, InstallGivesAServiceSidAndOnlyTheNeededPrivilegesAndWarnsOfWritableFiles)
{
    Script({Status(SERVICE_RUNNING)}, 0);
    g_scm.missingOpens = 1; // not installed yet
    g_scm.writableSddl = L"D:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)";
    CProcessWinService service(L"velmar.orvane.cl.dll", nullptr, nullptr);
    EXPECT_TRUE(service.Execute(ServiceOperation::Install, L""));
    EXPECT_EQ(g_scm.sidType, static_cast<DWORD>(SERVICE_SID_TYPE_UNRESTRICTED));
    EXPECT_EQ(g_scm.failureActionsOnNonCrash, TRUE);
    EXPECT_EQ(g_scm.privileges, (std::vector<std::wstring>{L"SeChangeNotifyPrivilege"}));

    // The executable's folder and the library beside it, on the console and in the event log.
    ASSERT_EQ(g_scm.securityPaths.size(), 2u);
    EXPECT_EQ(g_scm.securityPaths[1], g_scm.securityPaths[0] + L"\\velmar.orvane.cl.dll");
    ASSERT_EQ(g_scm.warnings.size(), 2u);
    for (const std::wstring& path : g_scm.securityPaths)
    {
        EXPECT_NE(g_scm.errors.find(path), std::wstring::npos) << g_scm.errors;
    }
    EXPECT_NE(g_scm.warnings[1].find(g_scm.securityPaths[1]), std::wstring::npos);
}

TEST(FolderSecurity, WritableOnlyThroughAnAllowEntryForNonAdministrators)
{
    const struct
    {
        const wchar_t* sddl;
        bool writable;
    } cases[] = {
        {L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false}, // read and execute only
        {L"D:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", true},                   // modify
        {L"D:(A;;0x100004;;;BU)", true},                                       // append
        {L"D:(A;;SD;;;WD)", true},                                             // delete
        {L"D:(A;;FA;;;IU)", true},
        {L"D:(A;OICIIO;FA;;;BU)", false}, // for what is created inside only
        {L"D:(D;;FA;;;BU)", false},
    };
    for (const auto& row : cases)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        EXPECT_EQ(WritableByNonAdministrators(dacl), row.writable) << std::wstring(row.sddl).size();
        LocalFree(descriptor);
    }
    // No DACL at all lets everyone do everything.
    EXPECT_TRUE(WritableByNonAdministrators(nullptr));
}

std::mutex g_reportsMutex;
std::vector<SERVICE_STATUS> g_reports;
BOOL WINAPI RecordThroughTable(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    std::lock_guard lock(g_reportsMutex);
    g_reports.push_back(*status);
    return TRUE;
}

std::vector<SERVICE_STATUS> Reports()
{
    std::lock_guard lock(g_reportsMutex);
    return g_reports;
}

TEST(ServiceStopReports, CheckpointMovesUntilStoppedWhichAcceptsNothing)
{
    g_reports.clear();
    CApiOverride<decltype(&::SetServiceStatus)> report(service::Api().SetServiceStatus, &RecordThroughTable);
    CServiceStatus status(nullptr, std::chrono::milliseconds(10));
    status.Begin(reinterpret_cast<SERVICE_STATUS_HANDLE>(1));
    status.ReportRunning();
    HandleServiceControl(status, nullptr, SERVICE_CONTROL_STOP);
    ASSERT_TRUE(WaitUntil([] { return Reports().size() >= 5; }, std::chrono::seconds(20)));
    status.ReportStopped(1); // a run that failed
    // A control that comes too late reports nothing.
    HandleServiceControl(status, nullptr, SERVICE_CONTROL_STOP);

    const std::vector<SERVICE_STATUS> reports = Reports();
    ASSERT_EQ(reports.front().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    for (std::size_t i = 1; i + 1 < reports.size(); ++i)
    {
        EXPECT_EQ(reports[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_GT(reports[i].dwWaitHint, 0u);
        if (i > 1)
        {
            EXPECT_EQ(reports[i].dwCheckPoint, reports[i - 1].dwCheckPoint + 1);
        }
    }
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(reports.back().dwControlsAccepted, 0u);
    EXPECT_EQ(reports.back().dwCheckPoint, 0u);
    EXPECT_EQ(reports.back().dwWaitHint, 0u);
    EXPECT_EQ(reports.back().dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(reports.back().dwServiceSpecificExitCode, 1u);
}

} // namespace
