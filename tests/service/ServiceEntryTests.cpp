// The service entry's pieces in this process: the argument vector from the start arguments and the
// stored options, the control handler's reports, and the dependency lists.
#include "ApiOverride.h"
#include "ServiceProgram.h"

#include "platform/Event.h"
#include "platform/UniqueHandle.h"
#include "service/DependOnService.h"
#include "service/EventLogSource.h"
#include "service/ProcessWinService.h"
#include "service/ServiceArguments.h"
#include "service/ServiceEntry.h"
#include "service/ServiceStatus.h"

#include <gtest/gtest.h>

#include <winternl.h>

#include <map>
#include <vector>

using namespace servicetest;
using Words = std::vector<std::wstring>;

namespace
{

void CreateKey(const std::wstring& path)
{
    platform::UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
}

// Stores a REG_SZ exactly as given, without the terminator Wine's RegSetValueExW would add.
void SetRawText(const wchar_t* keyPath, const wchar_t* name, const std::wstring& data)
{
    using NtSetValueKeyFunction = LONG(NTAPI*)(HANDLE, UNICODE_STRING*, ULONG, ULONG, void*, ULONG);
    const auto setValue = reinterpret_cast<NtSetValueKeyFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    ASSERT_NE(setValue, nullptr);
    platform::UniqueKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    std::wstring valueName = name;
    UNICODE_STRING unicodeName{static_cast<USHORT>(valueName.size() * 2),
                               static_cast<USHORT>(valueName.size() * 2), valueName.data()};
    std::wstring bytes = data;
    ASSERT_EQ(
        setValue(key.get(), &unicodeName, 0, REG_SZ, bytes.data(), static_cast<ULONG>(bytes.size() * 2)), 0);
}

Words ArgumentWords(const CWinService* service, std::vector<const wchar_t*> start)
{
    CServiceArguments arguments;
    arguments.SplitCommandLine(ServiceCommandLine(service, static_cast<DWORD>(start.size()), start.data()));
    EXPECT_EQ(arguments.Vector()[arguments.Count()], nullptr);
    return arguments.Words();
}

class ServiceEntry : public ::testing::Test
{
protected:
    void SetUp() override { RemoveServiceLeftovers(); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey); }
};

TEST_F(ServiceEntry, ArgumentVectorFromStartArgumentsAndStoredOptions)
{
    const CProcessWinService service(L"velmar.orvane.cl.dll", nullptr, nullptr);
    const wchar_t* name = L"VELMAR ORVANE.CL drv";

    EXPECT_EQ(ArgumentWords(&service, {name}), (Words{L"VELMAR", L"ORVANE.CL", L"drv"}));

    SetRawText(kServiceKey, L"Parameters", L"-v --event-log ");
    EXPECT_EQ(ArgumentWords(&service, {name}),
              (Words{L"VELMAR", L"ORVANE.CL", L"drv", L"-v", L"--event-log"}));
    // Extra start arguments come before the stored options.
    EXPECT_EQ(ArgumentWords(&service, {name, L"-e", L"x"}),
              (Words{L"VELMAR", L"ORVANE.CL", L"drv", L"-e", L"x", L"-v", L"--event-log"}));
    EXPECT_EQ(ArgumentWords(nullptr, {name, L"-e"}), (Words{L"VELMAR", L"ORVANE.CL", L"drv", L"-e"}));

    // Without terminator the value ends at its last character; a NUL inside ends it there.
    SetRawText(kServiceKey, L"Parameters", L"-vv");
    EXPECT_EQ(ArgumentWords(&service, {name}), (Words{L"VELMAR", L"ORVANE.CL", L"drv", L"-vv"}));
    SetRawText(kServiceKey, L"Parameters", std::wstring(L"-v\0-vvvv", 8));
    EXPECT_EQ(ArgumentWords(&service, {name}), (Words{L"VELMAR", L"ORVANE.CL", L"drv", L"-v"}));

    CServiceArguments arguments;
    arguments.SplitCommandLine(L"\t\r\n -v  \t--event-log\tx \r\n");
    EXPECT_EQ(arguments.Words(), (Words{L"-v", L"--event-log\tx"}));
    arguments.SplitCommandLine(L" \t ");
    EXPECT_EQ(arguments.Count(), 0);
}

// What the last write of a registry value was given, and every write's byte count by value name.
DWORD g_writtenType = 0;
DWORD g_writtenBytes = 0;
std::map<std::wstring, DWORD> g_bytesByName;
LSTATUS WINAPI RecordingSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                 DWORD bytes)
{
    g_writtenType = type;
    g_writtenBytes = bytes;
    g_bytesByName[name] = bytes;
    return RegSetValueExW(key, name, reserved, type, data, bytes);
}

TEST_F(ServiceEntry, StoredOptionsAreWrittenWithTerminatorAndDeletedWhenEmpty)
{
    CreateKey(kServiceKey);
    CProcessWinService service(L"velmar.orvane.cl.dll", nullptr, nullptr);
    {
        CApiOverride recording(platform::Api().RegSetValueExW, &RecordingSetValue);
        service.WriteParameters(L"-vv --event-log ");
    }
    EXPECT_EQ(g_writtenType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(g_writtenBytes, 34u);
    EXPECT_EQ(ArgumentWords(&service, {L"VELMAR ORVANE.CL drv"}),
              (Words{L"VELMAR", L"ORVANE.CL", L"drv", L"-vv", L"--event-log"}));
    service.WriteParameters(L"");
    EXPECT_FALSE(ReadText(kServiceKey, L"Parameters"));

    // The event-log source's message file: 129 characters and the terminator.
    UnregisterEventLogSource();
    {
        CApiOverride recording(platform::Api().RegSetValueExW, &RecordingSetValue);
        ASSERT_TRUE(RegisterEventLogSource());
    }
    UnregisterEventLogSource();
    EXPECT_EQ(g_bytesByName[L"EventMessageFile"], 260u);
    EXPECT_EQ(g_bytesByName[L"TypesSupported"], 4u);
}

// The reports of the process under test, in order.
std::vector<SERVICE_STATUS> g_reports;
BOOL WINAPI RecordReport(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    g_reports.push_back(*status);
    return TRUE;
}

class CRecordingService : public CWinService
{
public:
    CRecordingService() : CWinService(L"OrvaneRecordingService", L"", L"") {}
    void OnStop() override { calls.push_back(L"stop"); }
    void OnShutdown() override { calls.push_back(L"shutdown"); }
    void OnPause() override { calls.push_back(L"pause"); }
    void OnContinue() override { calls.push_back(L"continue"); }
    Words calls;
};

TEST_F(ServiceEntry, ControlHandlerReports)
{
    g_reports.clear();
    // A reporter that never beats: only the handler's reports are counted here.
    CServiceStatus status(&RecordReport, std::chrono::hours(1));
    CRecordingService service;
    status.Begin(reinterpret_cast<SERVICE_STATUS_HANDLE>(1));
    status.ReportStartPending();
    HandleServiceControl(status, &service, SERVICE_CONTROL_INTERROGATE);
    ASSERT_EQ(g_reports.size(), 2u);
    EXPECT_EQ(g_reports[0].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(g_reports[0].dwWaitHint, 3000u);
    EXPECT_EQ(g_reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(g_reports[1].dwControlsAccepted, 0u);
    EXPECT_EQ(g_reports[1].dwCheckPoint, g_reports[0].dwCheckPoint + 1);
    EXPECT_EQ(g_reports[1].dwWaitHint, CServiceStatus::kStartWaitHintMs);

    status.ReportRunning();
    HandleServiceControl(status, &service, SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(g_reports.back().dwControlsAccepted, 5u);
    EXPECT_EQ(g_reports.back().dwCheckPoint, 0u);

    HandleServiceControl(status, &service, SERVICE_CONTROL_PAUSE);
    HandleServiceControl(status, &service, SERVICE_CONTROL_CONTINUE);
    EXPECT_EQ(g_reports.size(), 4u);
    HandleServiceControl(status, &service, SERVICE_CONTROL_STOP);
    HandleServiceControl(status, &service, SERVICE_CONTROL_SHUTDOWN);
    HandleServiceControl(status, nullptr, SERVICE_CONTROL_STOP);
    ASSERT_EQ(g_reports.size(), 7u);
    for (std::size_t i = 4; i < 7; ++i)
    {
        EXPECT_EQ(g_reports[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(g_reports[i].dwControlsAccepted, 5u);
        EXPECT_EQ(g_reports[i].dwCheckPoint, g_reports[1].dwCheckPoint + i - 3);
        EXPECT_EQ(g_reports[i].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    }
    EXPECT_EQ(service.calls, (Words{L"pause", L"continue", L"stop", L"shutdown"}));
    status.ReportStopped();

    // The program's service stops the processing run through the process stop event.
    CProcessWinService processService(L"velmar.orvane.cl.dll", nullptr, nullptr);
    processService.OnStop();
    EXPECT_EQ(WaitForSingleObject(StopEvent().Handle(), 0), WAIT_OBJECT_0);
    ResetEvent(StopEvent().Handle());
}

TEST_F(ServiceEntry, DependencyListsOfDependents)
{
    const std::wstring services = L"SYSTEM\\CurrentControlSet\\Services\\";
    const std::wstring own = services + L"OrvaneTestService";
    const std::wstring shared = services + L"OrvaneTestShared";
    const std::wstring lonely = services + L"OrvaneTestLonely";
    for (const auto& path : {own, shared, lonely})
    {
        CreateKey(path);
    }
    {
        platform::UniqueKey key;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, shared.c_str(), 0, KEY_SET_VALUE, key.put()),
                  ERROR_SUCCESS);
        service::WriteDependOnService(key.get(), {L"Other"});
    }
    auto list = [](const std::wstring& path)
    {
        platform::UniqueKey key;
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
        Words names;
        const LONG status = service::ReadDependOnService(key.get(), names);
        return std::make_pair(status, names);
    };

    CWinService test(L"OrvaneTestService", L"", L"", {L"DepA", L"DepB"},
                     {L"OrvaneTestShared", L"OrvaneTestLonely", L"OrvaneTestMissing"});
    test.UpdateDependencies(true);
    EXPECT_EQ(list(shared).second, (Words{L"Other", L"OrvaneTestService"}));
    EXPECT_EQ(list(lonely).second, (Words{L"OrvaneTestService"}));
    EXPECT_EQ(list(own).second, (Words{L"DepA", L"DepB"}));
    platform::UniqueKey missing;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (services + L"OrvaneTestMissing").c_str(), 0, KEY_READ,
                            missing.put()),
              ERROR_SUCCESS);

    test.UpdateDependencies(false);
    EXPECT_EQ(list(shared).second, (Words{L"Other"}));
    EXPECT_EQ(list(lonely).first, ERROR_FILE_NOT_FOUND);

    for (const auto& path : {own, shared, lonely})
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    }
}

} // namespace
