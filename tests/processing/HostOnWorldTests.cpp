// The host (orvane-sim.exe) on the simulated device world with the reference library: audio through
// the library, devices that come and go, configuration changed live, and the way a run ends.
#include "HostProcess.h"
#include "../config/EnvelopeWriter.h"
#include "../reflib/HttpClient.h"
#include "config/InstanceId.h"

#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"
#include "simulation/WorldStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

using namespace std::chrono_literals;
using hosttest::CHostProcess;
using hosttest::kStorageRoot;
using hosttest::WaitUntil;

namespace
{

constexpr const wchar_t* kProductKey = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv";

std::wstring InstanceKey(const std::wstring& id)
{
    std::wstring key = std::wstring(kProductKey) + L"\\instances\\";
    for (wchar_t c : id)
    {
        key += c == L'\\' ? L'#' : c;
    }
    return key;
}

// A folder of copies of the program: Wine may keep an image that just ended open for a moment, so a
// removal that fails is left for the next run (which overwrites the copies).
void RemoveFolder(const std::filesystem::path& folder)
{
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// orvane-sim.exe beside a variant of the library, in a folder of their own; returns the program.
std::filesystem::path ProgramWithLibrary(const wchar_t* folderName, const wchar_t* variant)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / folderName;
    RemoveFolder(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(hosttest::BinDirectory() / L"orvane-sim.exe", folder / L"orvane-sim.exe",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(hosttest::BinDirectory() / L"variants" / variant,
                               folder / L"velmar.orvane.cl.dll",
                               std::filesystem::copy_options::overwrite_existing);
    return folder / L"orvane-sim.exe";
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring InstanceIdOf(const std::wstring& deviceId)
{
    std::wstring id = deviceId;
    for (wchar_t& c : id)
    {
        c = c == L'\\' ? L'#' : c;
    }
    return id;
}

// The id the host logs for a device that arrives while it runs: from the notification's link, in
// the letter case the world writes there.
std::string NotifiedIdOf(const std::wstring& deviceId)
{
    return Narrow(InstanceIdFromPath(simulation::NotifiedLink(deviceId, simulation::WorldLinkCase())));
}

void SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                    static_cast<DWORD>(value.size() * sizeof(wchar_t)));
}

void SetDword(const std::wstring& key, const wchar_t* name, DWORD value)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_DWORD, &value, sizeof(value));
}

std::optional<std::wstring> ReadString(const std::wstring& key, const wchar_t* name, DWORD* size = nullptr)
{
    wchar_t buffer[512] = {};
    DWORD bytes = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ | RRF_NOEXPAND, nullptr, buffer,
                     &bytes) != ERROR_SUCCESS)
    {
        return std::nullopt;
    }
    if (size != nullptr)
    {
        *size = bytes;
    }
    return std::wstring(buffer);
}

uint32_t Checked(const std::wstring& id)
{
    const auto figures = simulation::Statistics(id);
    return figures ? figures->blocksChecked : 0;
}

// The description of both of the device's endpoints, when they agree.
std::optional<std::wstring> EndpointDescription(const std::wstring& id)
{
    constexpr GUID kDescription = {
        0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};
    const auto device = simulation::store::Find(id);
    if (!device)
    {
        return std::nullopt;
    }
    const auto render = simulation::EndpointStringProperty(device->renderEndpoint, kDescription, 2);
    const auto capture = simulation::EndpointStringProperty(device->captureEndpoint, kDescription, 2);
    return render == capture ? render : std::nullopt;
}

uint32_t Connections(const std::wstring& id)
{
    const auto figures = simulation::Statistics(id);
    return figures ? figures->connections : 0;
}

// Every test starts from an empty world, an empty product key and no stored files.
class HostOnWorld : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simulation::ResetWorld();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
        ASSERT_TRUE(hosttest::ClearStoredState());
    }
    void TearDown() override
    {
        host.reset();
        world.reset();
        simulation::ResetWorld();
    }

    void StartWorld(simulation::WorldOptions options = {})
    {
        world = std::make_unique<simulation::CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
    }

    std::vector<std::wstring> AddDevices(int count)
    {
        std::vector<std::wstring> ids;
        for (int i = 0; i < count; ++i)
        {
            ids.push_back(simulation::AddDevice());
        }
        return ids;
    }

    void StartHost(const std::wstring& arguments = L"-vv")
    {
        host = std::make_unique<CHostProcess>(arguments);
        ASSERT_TRUE(host->Started());
    }

    // Waits until every device has had its render stream checked for `blocks` more blocks.
    bool Streams(const std::vector<std::wstring>& ids, uint32_t blocks, std::chrono::milliseconds limit = 20s)
    {
        std::vector<uint32_t> start;
        for (const auto& id : ids)
        {
            start.push_back(Checked(id));
        }
        return WaitUntil(
            [&]
            {
                for (size_t i = 0; i < ids.size(); ++i)
                {
                    if (Checked(ids[i]) < start[i] + blocks)
                    {
                        return false;
                    }
                }
                return true;
            },
            limit);
    }

    void ExpectNoMismatch(const std::vector<std::wstring>& ids)
    {
        for (const auto& id : ids)
        {
            const auto figures = simulation::Statistics(id);
            ASSERT_TRUE(figures.has_value());
            EXPECT_EQ(figures->mismatches, 0u)
                << "device " << id.size() << " first mismatch at block " << figures->firstMismatchBlock;
        }
    }

    std::unique_ptr<simulation::CDeviceWorld> world;
    std::unique_ptr<CHostProcess> host;
};

TEST_F(HostOnWorld, AudioGoesThroughTheLibrary)
{
    StartWorld();
    const auto ids = AddDevices(2);
    const DWORD port = reflib_test::FreePort();
    SetDword(InstanceKey(ids[0]), L"HttpPort", port);
    SetString(InstanceKey(ids[0]), L"Name", L"Desk");
    SetString(InstanceKey(ids[0]), L"AdminPassword", MakeEnvelopeW("first secret"));
    StartHost();

    // The library's defaults are the identity.
    ASSERT_TRUE(Streams(ids, 200)) << host->Output();
    ExpectNoMismatch(ids);

    // The first start found no stored account, so the account set up then lets callers look unlogged;
    // a change still needs the account.
    ASSERT_TRUE(WaitUntil(
        [&] { return reflib_test::HttpRequest(static_cast<uint16_t>(port), "GET", "/status").status == 200; },
        10s));
    const std::string halve = R"({"set":{"gain_db":-6.020599913279624}})";
    EXPECT_EQ(reflib_test::HttpRequest(static_cast<uint16_t>(port), "POST", "/json", halve).status, 401);
    const reflib_test::CCredentials admin{"admin", "first secret"};
    const auto set = reflib_test::HttpRequest(static_cast<uint16_t>(port), "POST", "/json", halve, &admin);
    ASSERT_EQ(set.status, 200) << set.body;
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(simulation::SetExpectation(ids[0], L"gain=0.5"));
    simulation::ResetStatistics();
    ASSERT_TRUE(Streams(ids, 500, 30s));
    ExpectNoMismatch(ids);

    ASSERT_TRUE(host->Interrupt());
    EXPECT_EQ(host->Wait(10s), std::optional<DWORD>(0)) << host->Output() << host->Backtraces();
    EXPECT_EQ(simulation::Totals().unregisterInCallback, 0u);
}

// One run per delivery order: the order between a device's handle events and its interface removal.
class HostRemovals : public HostOnWorld, public ::testing::WithParamInterface<simulation::DeliveryOrder>
{
};

TEST_P(HostRemovals, DevicesComeAndGoWhileStreaming)
{
    simulation::WorldOptions options;
    options.deliveryOrder = GetParam();
    options.surpriseRemovalGapMs = 500;
    StartWorld(options);
    const auto first = AddDevices(1);
    StartHost();
    ASSERT_TRUE(Streams(first, 50)) << host->Output();

    // Arrival during the run: its instance, its storage directory, its audio.
    const std::wstring added = simulation::AddDevice();
    const std::string addedId = NotifiedIdOf(added);
    ASSERT_TRUE(Streams({added}, 50)) << host->Output();
    EXPECT_TRUE(host->OutputContains("Instance added: " + addedId));
    EXPECT_TRUE(std::filesystem::is_directory(kStorageRoot / InstanceIdOf(added)));

    // A removal vetoed elsewhere: the host lets go, hears the outcome and streams again.
    const uint32_t connections = Connections(added);
    EXPECT_EQ(simulation::RequestRemoval(added, simulation::RemovalKind::WorldVeto),
              simulation::RemovalOutcome::Vetoed);
    ASSERT_TRUE(host->WaitForOutput("Audio driver has been tried removed, but cancelled for", 5s))
        << host->Output();
    ASSERT_TRUE(WaitUntil([&] { return Connections(added) > connections; }, 5s));
    ASSERT_TRUE(Streams({added}, 50));

    // An orderly removal: no veto by an open handle, the instance goes.
    EXPECT_EQ(simulation::RequestRemoval(added, simulation::RemovalKind::Orderly),
              simulation::RemovalOutcome::Removed);
    ASSERT_TRUE(host->WaitForOutput("Instance removed: " + addedId, 5s)) << host->Output();
    EXPECT_EQ(simulation::Totals().vetoesOpenHandle, 0u);

    // A surprise removal: a handful of failed transfers at most, then the instance goes too.
    const std::wstring surprised = simulation::AddDevice();
    const std::string surprisedId = NotifiedIdOf(surprised);
    ASSERT_TRUE(Streams({surprised}, 50)) << host->Output();
    const uint32_t failedBefore = simulation::Totals().failedTransfers;
    EXPECT_EQ(simulation::RequestRemoval(surprised, simulation::RemovalKind::Surprise),
              simulation::RemovalOutcome::Removed);
    ASSERT_TRUE(host->WaitForOutput("Instance removed: " + surprisedId, 5s)) << host->Output();
    EXPECT_LE(simulation::Totals().failedTransfers - failedBefore, 10u);

    // The first device streamed through all of it.
    ASSERT_TRUE(Streams(first, 50));
    ExpectNoMismatch(first);
    EXPECT_EQ(simulation::Totals().unregisterInCallback, 0u);
    ASSERT_TRUE(host->Interrupt());
    EXPECT_EQ(host->Wait(10s), std::optional<DWORD>(0)) << host->Output() << host->Backtraces();
}

INSTANTIATE_TEST_SUITE_P(BothOrders, HostRemovals,
                         ::testing::Values(simulation::DeliveryOrder::HandleEventsFirst,
                                           simulation::DeliveryOrder::InterfaceRemovalFirst));

// `-r` while the service streams the device: the instance's last save (when its library process ends)
// comes before the directory goes, so it stays gone.
TEST_F(HostOnWorld, RemovingAStreamingDeviceLeavesNoStorageBehind)
{
    StartWorld();
    const auto ids = AddDevices(2);
    const std::wstring removed = InstanceIdOf(ids[1]);
    const auto port = static_cast<uint16_t>(reflib_test::FreePort());
    SetString(InstanceKey(ids[1]), L"Name", L"Booth");
    SetDword(InstanceKey(ids[1]), L"HttpPort", port);
    SetString(InstanceKey(ids[1]), L"AdminPassword", MakeEnvelopeW("secret"));
    const reflib_test::CCredentials admin{"admin", "secret"};
    StartHost();
    ASSERT_TRUE(Streams(ids, 30)) << host->Output();
    ASSERT_TRUE(WaitUntil(
        [&] { return reflib_test::HttpRequest(port, "GET", "/status", "", &admin).status == 200; }, 10s));
    const auto set =
        reflib_test::HttpRequest(port, "POST", "/json", R"({"set":{"gain_db":-6.020599913279624}})", &admin);
    ASSERT_EQ(set.status, 200) << set.body;
    ASSERT_TRUE(
        WaitUntil([&] { return std::filesystem::exists(kStorageRoot / removed / L"state.json"); }, 5s));

    {
        CHostProcess remove(L"-r " + removed);
        EXPECT_EQ(remove.Wait(15s), std::optional<DWORD>(0)) << remove.Output() << remove.Backtraces();
        EXPECT_EQ(remove.Output(), "") << "nothing to report";
    }
    EXPECT_FALSE(std::filesystem::exists(kStorageRoot / removed));
    ASSERT_TRUE(host->WaitForOutput("Instance removed: " + Narrow(removed), 5s)) << host->Output();
    EXPECT_FALSE(std::filesystem::exists(kStorageRoot / removed)) << "the last save brought it back";

    // The next device gets the same instance id: it starts afresh (unity gain, no stored account).
    SetString(InstanceKey(ids[1]), L"Name", L"Booth");
    SetDword(InstanceKey(ids[1]), L"HttpPort", port);
    SetString(InstanceKey(ids[1]), L"AdminPassword", MakeEnvelopeW("other"));
    ASSERT_EQ(simulation::AddDevice(), ids[1]) << "the world did not give the number again";
    ASSERT_TRUE(Streams(ids, 50)) << host->Output();
    ExpectNoMismatch(ids);
    EXPECT_TRUE(WaitUntil(
        [&] { return reflib_test::HttpRequest(port, "GET", "/status", "", nullptr).status == 200; }, 10s))
        << "the first start of the new device grants unlogged reading";
}

// The endpoints of a device appear well after it started (and after its instance named the device):
// they are named when they arrive, for a device present at start and for one that arrives later.
TEST_F(HostOnWorld, EndpointsThatAppearLateAreNamed)
{
    simulation::WorldOptions options;
    options.endpointDelayMs = 2000;
    StartWorld(options);
    auto ids = AddDevices(1);
    SetString(InstanceKey(ids[0]), L"Name", L"Desk");
    StartHost();
    ASSERT_TRUE(Streams(ids, 10)) << host->Output();
    ids.push_back(simulation::AddDevice());
    SetString(InstanceKey(ids[1]), L"Name", L"Booth");
    ASSERT_TRUE(Streams({ids[1]}, 10)) << host->Output();
    EXPECT_TRUE(WaitUntil([&] { return EndpointDescription(ids[0]) == L"Desk"; }, 10s)) << host->Output();
    EXPECT_TRUE(WaitUntil([&] { return EndpointDescription(ids[1]) == L"Booth"; }, 10s)) << host->Output();
}

TEST_F(HostOnWorld, RetriesUntilAWorldServesTheDevices)
{
    const auto ids = AddDevices(2);
    StartHost();
    ASSERT_TRUE(WaitUntil([&] { return host->CountInOutput("Failed to open audio driver for") >= 6; }, 10s))
        << host->Output();
    // About once a second per device: six messages take more than two seconds.
    StartWorld();
    ASSERT_TRUE(Streams(ids, 100)) << host->Output();
    ExpectNoMismatch(ids);
}

TEST_F(HostOnWorld, ConfigurationChangesApplyLive)
{
    StartWorld();
    const auto ids = AddDevices(2);
    StartHost();
    ASSERT_TRUE(Streams(ids, 30)) << host->Output();

    // A new name reaches the endpoints and the kernel-streaming pins of that device only.
    SetString(InstanceKey(ids[0]), L"Name", L"Studio \"A\"");
    const std::wstring pins = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                                           L"{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\##?#") +
                              InstanceIdOf(ids[0]) + L"#{6994ad04-93ef-11d0-a3cc-00a0c9223196}";
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            return ReadString(pins + L"\\#TopologyRender\\Device Parameters", L"FriendlyName") ==
                   std::optional<std::wstring>(L"Studio \"A\" mixer");
        },
        5s))
        << host->Output();
    EXPECT_EQ(ReadString(pins + L"\\#WaveCapture\\Device Parameters", L"FriendlyName"),
              std::optional<std::wstring>(L"Studio \"A\""));
    const std::wstring render3 = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                                              L"{65E8773E-8F56-11D0-A3B9-00A0C9223196}\\##?#") +
                                 InstanceIdOf(ids[0]) + L"#{65E8773E-8F56-11D0-A3B9-00A0C9223196}";
    EXPECT_EQ(ReadString(render3 + L"\\#WaveRender\\Device Parameters", L"FriendlyName"),
              std::optional<std::wstring>(L"Studio \"A\""));
    EXPECT_TRUE(WaitUntil([&] { return EndpointDescription(ids[0]) == L"Studio \"A\""; }, 5s));

    // Ports while streaming: the server answers, then moves. (Name is read first and is required: a key
    // without it gives ports 0.)
    SetString(InstanceKey(ids[1]), L"Name", L"Booth");
    const DWORD port1 = reflib_test::FreePort();
    SetDword(InstanceKey(ids[1]), L"HttpPort", port1);
    ASSERT_TRUE(WaitUntil(
        [&] { return reflib_test::HttpRequest(static_cast<uint16_t>(port1), "GET", "/status").connected; },
        5s))
        << host->Output();
    const std::string secret = "q\"b\\n\nx";
    SetString(InstanceKey(ids[1]), L"AdminPassword", MakeEnvelopeW(secret));
    const reflib_test::CCredentials admin{"admin", secret};
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            return reflib_test::HttpRequest(static_cast<uint16_t>(port1), "GET", "/status", "", &admin)
                           .status == 200 &&
                   reflib_test::HttpRequest(static_cast<uint16_t>(port1), "GET", "/status").status == 401;
        },
        5s))
        << host->Output();
    const DWORD port2 = reflib_test::FreePort();
    SetDword(InstanceKey(ids[1]), L"HttpPort", port2);
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            return reflib_test::HttpRequest(static_cast<uint16_t>(port2), "GET", "/status", "", &admin)
                       .status == 200;
        },
        5s));
    EXPECT_FALSE(reflib_test::HttpRequest(static_cast<uint16_t>(port1), "GET", "/status").connected);
    // Both ports 0: the server stops and nothing is reported.
    SetDword(InstanceKey(ids[1]), L"HttpPort", 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return !reflib_test::HttpRequest(static_cast<uint16_t>(port2), "GET", "/status").connected; },
        5s));
    EXPECT_FALSE(host->OutputContains("Failed to start Webserver"));

    // A change of the global parameters restarts every instance once; the same text again does nothing.
    std::vector<uint32_t> connections{Connections(ids[0]), Connections(ids[1])};
    SetString(std::wstring(kProductKey) + L"\\parameters", L"SSLCertificate", L"C:\\cert.pem");
    ASSERT_TRUE(host->WaitForOutput("Global parameters changed, reloading all units", 5s));
    ASSERT_TRUE(WaitUntil(
        [&]
        { return Connections(ids[0]) == connections[0] + 1 && Connections(ids[1]) == connections[1] + 1; },
        10s));
    SetString(std::wstring(kProductKey) + L"\\parameters", L"SSLCertificate", L"C:\\cert.pem");
    // A value below "instances" is not a global parameter.
    SetString(std::wstring(kProductKey) + L"\\instances", L"Unrelated", L"x");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(host->CountInOutput("Global parameters changed, reloading all units"), 1u);
    ASSERT_TRUE(Streams(ids, 30));
    ExpectNoMismatch(ids);
}

TEST_F(HostOnWorld, CtrlCEndsARunOfEightDevicesQuickly)
{
    StartWorld();
    const auto ids = AddDevices(8);
    StartHost(L"");
    ASSERT_TRUE(Streams(ids, 20, 30s)) << host->Output();
    const auto interrupted = std::chrono::steady_clock::now();
    ASSERT_TRUE(host->Interrupt());
    EXPECT_EQ(host->Wait(10s), std::optional<DWORD>(0)) << host->Output() << host->Backtraces();
    // Reported, not asserted: this machine is shared.
    std::cout << "[ figures  ] Ctrl+C to exit with 8 devices: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       interrupted)
                     .count()
              << " ms\n";
    EXPECT_EQ(simulation::Totals().unregisterInCallback, 0u);
}

// Ctrl+C at every verbosity while the library logs every web request through the log bridge.
TEST_F(HostOnWorld, CtrlCEndsARunAtEveryVerbosityWhileTheLibraryLogsRequests)
{
    StartWorld();
    const auto ids = AddDevices(2);
    const auto port = static_cast<uint16_t>(reflib_test::FreePort());
    SetString(InstanceKey(ids[0]), L"Name", L"Desk");
    SetDword(InstanceKey(ids[0]), L"HttpPort", port);
    for (const wchar_t* verbosity : {L"", L"-v", L"-vv", L"-vvv", L"-vvvv", L"-vvvvv"})
    {
        StartHost(verbosity);
        ASSERT_TRUE(Streams(ids, 20)) << host->Output();
        ASSERT_TRUE(
            WaitUntil([&] { return reflib_test::HttpRequest(port, "GET", "/status").connected; }, 10s));
        for (int i = 0; i < 30; ++i)
        {
            reflib_test::HttpRequest(port, "GET", "/status");
        }
        const auto interrupted = std::chrono::steady_clock::now();
        ASSERT_TRUE(host->Interrupt());
        EXPECT_EQ(host->Wait(10s), std::optional<DWORD>(0)) << "verbosity '" << Narrow(verbosity) << "'\n"
                                                            << host->Output() << host->Backtraces();
        std::cout << "[ figures  ] Ctrl+C to exit at '" << Narrow(verbosity) << "': "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                           interrupted)
                         .count()
                  << " ms\n";
        host.reset();
    }
}

TEST_F(HostOnWorld, RunWithoutDevicesOrWithAnUnfitLibraryEndsAtOnce)
{
    StartWorld();
    {
        CHostProcess run(L"-v");
        EXPECT_EQ(run.Wait(20s), std::optional<DWORD>(0));
        EXPECT_TRUE(run.OutputContains("None found")) << run.Output();
    }

    // A library for 44.1 kHz: refused before anything is created.
    AddDevices(1);
    const std::filesystem::path program = ProgramWithLibrary(L"orvane-44k", L"velmar.rate44k.cl.dll");
    {
        CHostProcess run(L"-v", program);
        EXPECT_EQ(run.Wait(20s), std::optional<DWORD>(0));
        EXPECT_TRUE(run.OutputContains("The DLL has incompatible settings with this software"))
            << run.Output();
    }
    EXPECT_FALSE(std::filesystem::exists(kStorageRoot / InstanceIdOf(simulation::StartedDevices().front())));
    RemoveFolder(program.parent_path());
}

TEST_F(HostOnWorld, LibraryWithoutInitProcess3StreamsThroughInitProcess2)
{
    StartWorld();
    const auto ids = AddDevices(1);
    const std::filesystem::path program = ProgramWithLibrary(L"orvane-noinit3", L"velmar.noinit3.cl.dll");
    host = std::make_unique<CHostProcess>(L"-v", program);
    ASSERT_TRUE(host->Started());
    ASSERT_TRUE(Streams(ids, 100)) << host->Output();
    ExpectNoMismatch(ids);
    ASSERT_TRUE(host->Interrupt());
    EXPECT_EQ(host->Wait(10s), std::optional<DWORD>(0)) << host->Output() << host->Backtraces();
    host.reset();
    RemoveFolder(program.parent_path());
}

} // namespace
