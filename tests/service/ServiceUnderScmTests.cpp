// The service under Wine's service control manager: orvane-sim.exe installs, starts, stops, reconfigures
// and removes it, and runs as it, streaming on the devices of the world this process serves.
#include "ServiceProgram.h"

#include "platform/UniqueHandle.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace std::chrono_literals;
using namespace servicetest;

namespace
{

const std::wstring kSuccess = L"Service Operation Successful\n";
const std::wstring kFailure = L"Service Operation failed\n";

struct ServiceConfig
{
    std::wstring displayName;
    std::wstring imagePath;
    std::wstring description;
    DWORD type = 0;
    DWORD startType = 0;
};

std::optional<ServiceConfig> QueryConfig()
{
    const platform::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const platform::UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG) : nullptr);
    alignas(8) BYTE buffer[8192] = {};
    DWORD needed = 0;
    if (!service || !QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer),
                                         sizeof(buffer), &needed))
    {
        return std::nullopt;
    }
    const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    ServiceConfig result{
        config->lpDisplayName, config->lpBinaryPathName, {}, config->dwServiceType, config->dwStartType};
    alignas(8) BYTE text[4096] = {};
    if (QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, text, sizeof(text), &needed))
    {
        const auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(text);
        result.description = description->lpDescription != nullptr ? description->lpDescription : L"";
    }
    return result;
}

std::optional<std::wstring> StoredParameters()
{
    const auto stored = ReadText(kServiceKey, L"Parameters");
    return stored ? std::optional<std::wstring>(stored->text) : std::nullopt;
}

DWORD ServiceProcess()
{
    const auto status = ServiceStatus();
    return status ? status->dwProcessId : 0;
}

bool BecomesRunning()
{
    return WaitUntil([] { return ServiceState() == SERVICE_RUNNING; }, 10s);
}

class ServiceUnderScm : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RemoveServiceLeftovers();
        simulation::ResetWorld();
        m_world = std::make_unique<simulation::CDeviceWorld>();
        ASSERT_TRUE(m_world->Start());
        m_devices = {simulation::AddDevice(), simulation::AddDevice()};
    }
    void TearDown() override
    {
        RemoveServiceLeftovers();
        m_world.reset();
        simulation::ResetWorld();
    }

    static std::uint32_t Checked(const std::wstring& id)
    {
        const auto figures = simulation::Statistics(id);
        return figures ? figures->blocksChecked : 0;
    }
    static std::uint32_t Connections(const std::wstring& id)
    {
        const auto figures = simulation::Statistics(id);
        return figures ? figures->connections : 0;
    }

    // Every device's render stream is checked for `blocks` more blocks within the limit.
    bool Streams(std::uint32_t blocks = 50, std::chrono::milliseconds limit = 20s) const
    {
        std::vector<std::uint32_t> start;
        for (const auto& id : m_devices)
        {
            start.push_back(Checked(id));
        }
        return WaitUntil(
            [&]
            {
                for (std::size_t i = 0; i < m_devices.size(); ++i)
                {
                    if (Checked(m_devices[i]) < start[i] + blocks)
                    {
                        return false;
                    }
                }
                return true;
            },
            limit);
    }

    std::vector<std::uint32_t> AllConnections() const
    {
        std::vector<std::uint32_t> counts;
        for (const auto& id : m_devices)
        {
            counts.push_back(Connections(id));
        }
        return counts;
    }

    std::unique_ptr<simulation::CDeviceWorld> m_world;
    std::vector<std::wstring> m_devices;
};

TEST_F(ServiceUnderScm, InstallRegistersTheSourceCreatesTheServiceAndStreams)
{
    const CommandResult installed = RunCommand(L"-vv -e -I");
    EXPECT_EQ(installed.exitCode, 0u);
    EXPECT_EQ(installed.out, L"EventLog registration success\n" + kSuccess);
    // Wine's manager knows neither the service SID nor the required privileges (ERROR_INVALID_LEVEL);
    // the installation says so and goes on. Nothing else is printed.
    const std::wstring wineLacks = L"Cannot give the service its own SID: 7c Invalid level.\n"
                                   L"Cannot limit the privileges of the service: 7c Invalid level.\n";
    EXPECT_TRUE(installed.err.empty() || installed.err == wineLacks) << installed.err;

    const auto config = QueryConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->displayName, L"VELMAR ORVANE.CL Virtual Driver Processing");
    EXPECT_EQ(config->description, L"VELMAR ORVANE.CL Virtual Driver Processing");
    EXPECT_EQ(config->type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->imagePath, L"\"" + SimProgram() + L"\" --service");

    const auto parameters = ReadText(kServiceKey, L"Parameters");
    ASSERT_TRUE(parameters);
    EXPECT_EQ(parameters->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(parameters->text, L"-vv --event-log ");
    EXPECT_EQ(parameters->bytes, 34u); // with the terminator

    DWORD types = 0;
    DWORD size = sizeof(types);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"TypesSupported", RRF_RT_REG_DWORD, nullptr,
                           &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    const auto messageFile = ReadText(kSourceKey, L"EventMessageFile");
    ASSERT_TRUE(messageFile);
    EXPECT_EQ(messageFile->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(messageFile->bytes, 260u);
    EXPECT_EQ(messageFile->text, L"%windir%\\Microsoft.NET\\Framework\\v4.0.30319\\EventLogMessages.dll;"
                                 L"%windir%\\Microsoft.NET\\Framework\\v2.0.50727\\EventLogMessages.dll");

    ASSERT_TRUE(BecomesRunning());
    EXPECT_TRUE(Streams());

    // Installing again changes nothing: the same process runs on, the stored options stay.
    const DWORD process = ServiceProcess();
    const CommandResult again = RunCommand(L"-I");
    EXPECT_EQ(again.exitCode, 0u);
    EXPECT_EQ(again.out, kSuccess);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ServiceProcess(), process);
    EXPECT_EQ(StoredParameters(), L"-vv --event-log ");
}

// At boot the service may start before its devices: it keeps running and takes them when they come.
TEST_F(ServiceUnderScm, StartedWithoutDevicesItTakesThemWhenTheyArrive)
{
    for (const auto& id : m_devices)
    {
        ASSERT_EQ(simulation::RequestRemoval(id, simulation::RemovalKind::Orderly),
                  simulation::RemovalOutcome::Removed);
    }
    ASSERT_EQ(RunCommand(L"-I").exitCode, 0u);
    ASSERT_TRUE(BecomesRunning());
    // Running is reported before the run looks for devices: give a run that would end on "none found"
    // the time to end (a run that waits never fails this).
    EXPECT_FALSE(WaitUntil([] { return ServiceState() == SERVICE_STOPPED; }, 3s));
    m_devices = {simulation::AddDevice(), simulation::AddDevice()};
    EXPECT_TRUE(Streams());
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ServiceUnderScm, StopStartRestartAndStoredOptions)
{
    ASSERT_EQ(RunCommand(L"-I").exitCode, 0u);
    ASSERT_TRUE(BecomesRunning());
    ASSERT_TRUE(Streams());
    EXPECT_FALSE(StoredParameters());

    DWORD process = ServiceProcess();
    const CommandResult stopped = RunCommand(L"-K");
    EXPECT_EQ(stopped.exitCode, 0u);
    EXPECT_EQ(stopped.out, kSuccess);
    EXPECT_LT(stopped.elapsed, 30s);
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(ProcessEnds(process, 10s));

    EXPECT_EQ(RunCommand(L"-S").out, kSuccess);
    ASSERT_TRUE(BecomesRunning());
    EXPECT_TRUE(Streams());

    // A restart is a new process with a new connection on every device.
    process = ServiceProcess();
    std::vector<std::uint32_t> connections = AllConnections();
    EXPECT_EQ(RunCommand(L"-R").out, kSuccess);
    ASSERT_TRUE(BecomesRunning());
    EXPECT_TRUE(Streams());
    EXPECT_NE(ServiceProcess(), process);
    for (std::size_t i = 0; i < m_devices.size(); ++i)
    {
        EXPECT_GT(Connections(m_devices[i]), connections[i]) << m_devices[i];
    }

    // New options on a running service: stopped, written, started again.
    process = ServiceProcess();
    EXPECT_EQ(RunCommand(L"-v -P").out, kSuccess);
    EXPECT_EQ(StoredParameters(), L"-v ");
    ASSERT_TRUE(BecomesRunning());
    EXPECT_NE(ServiceProcess(), process);
    EXPECT_TRUE(Streams());

    // No options: the value goes.
    EXPECT_EQ(RunCommand(L"-P").out, kSuccess);
    EXPECT_FALSE(StoredParameters());
    EXPECT_TRUE(BecomesRunning());

    // A stopped service stays stopped.
    EXPECT_EQ(RunCommand(L"-K").exitCode, 0u);
    EXPECT_EQ(RunCommand(L"-vv -P").out, kSuccess);
    EXPECT_EQ(StoredParameters(), L"-vv ");
    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceUnderScm, UninstallRemovesTheServiceAndTheSource)
{
    ASSERT_EQ(RunCommand(L"-e -I").exitCode, 0u);
    ASSERT_TRUE(BecomesRunning());
    const DWORD process = ServiceProcess();

    // Without -e the source stays.
    const CommandResult removed = RunCommand(L"-U");
    EXPECT_EQ(removed.exitCode, 0u);
    EXPECT_EQ(removed.out, kSuccess);
    EXPECT_FALSE(ServiceExists());
    EXPECT_TRUE(ProcessEnds(process, 10s));
    EXPECT_TRUE(ReadText(kSourceKey, L"EventMessageFile"));

    // With -e the source goes even though there is no service left to remove.
    const CommandResult absent = RunCommand(L"-e -U");
    EXPECT_EQ(absent.exitCode, 1u);
    EXPECT_EQ(absent.out, L"EventLog unregistration done\n");
    EXPECT_EQ(absent.err, L"The service is not installed\n" + kFailure);
    platform::UniqueKey source;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_QUERY_VALUE, source.put()),
              ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(RunCommand(L"-e -I").exitCode, 0u);
    ASSERT_TRUE(BecomesRunning());
    const CommandResult both = RunCommand(L"-e -U");
    EXPECT_EQ(both.exitCode, 0u);
    EXPECT_EQ(both.out, L"EventLog unregistration done\n" + kSuccess);
    EXPECT_FALSE(ServiceExists());

    const CommandResult console = RunCommand(L"--service", 10s);
    EXPECT_EQ(console.exitCode, 1u);
    EXPECT_EQ(console.err, kFailure);
    EXPECT_EQ(console.out, L"");
}

TEST_F(ServiceUnderScm, StopWhileTheRunStartsEndsIt)
{
    ASSERT_EQ(RunCommand(L"-I").exitCode, 0u);
    ASSERT_EQ(RunCommand(L"-K").exitCode, 0u);

    const platform::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const platform::UniqueServiceHandle service(
        OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    ASSERT_TRUE(service);
    for (const DWORD delayMs : {0, 30, 90})
    {
        // The start returns once the service has reported anything; the run begins right after it
        // reports running, and the stop follows at once.
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (ServiceState() == SERVICE_START_PENDING && std::chrono::steady_clock::now() < deadline)
        {
            Sleep(1);
        }
        ASSERT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
        const DWORD process = ServiceProcess();
        Sleep(delayMs);
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
        EXPECT_TRUE(WaitUntil([] { return ServiceState() == SERVICE_STOPPED; }, 20s))
            << "after " << delayMs << " ms: state " << ServiceState();
        EXPECT_TRUE(ProcessEnds(process, 10s)) << delayMs;
    }
}

} // namespace
