// A bounded storm on the host: devices added and removed in every way, names, ports and the global
// parameters changed, while four devices stream. Nothing may crash, hang or leak.
#include "HostProcess.h"
#include "../reflib/HttpClient.h"

#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <random>

#include <windows.h>
#include <tlhelp32.h>

using namespace std::chrono_literals;
using hosttest::CHostProcess;
using hosttest::WaitUntil;

namespace
{

constexpr const wchar_t* kProductKey = L"SOFTWARE\\VELMAR\\ORVANE.CL.drv";

std::wstring KeyOf(const std::wstring& deviceId)
{
    std::wstring key = std::wstring(kProductKey) + L"\\instances\\";
    for (wchar_t c : deviceId)
    {
        key += c == L'\\' ? L'#' : c;
    }
    return key;
}

size_t ThreadCount(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    {
        count += entry.th32OwnerProcessID == processId ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

uint32_t Checked(const std::wstring& id)
{
    const auto figures = simulation::Statistics(id);
    return figures ? figures->blocksChecked : 0;
}

bool Streaming(const std::wstring& id)
{
    const uint32_t start = Checked(id);
    return WaitUntil([&] { return Checked(id) >= start + 20; }, 10s);
}

TEST(HostStress, TwoHundredMixedStepsOverFourStreamingDevices)
{
    simulation::ResetWorld();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductKey);
    ASSERT_TRUE(hosttest::ClearStoredState());
    simulation::WorldOptions options;
    options.surpriseRemovalGapMs = 100;
    simulation::CDeviceWorld world(options);
    ASSERT_TRUE(world.Start());
    std::vector<std::wstring> steady;
    for (int i = 0; i < 4; ++i)
    {
        steady.push_back(simulation::AddDevice());
    }
    CHostProcess host(L"");
    ASSERT_TRUE(host.Started());
    for (const auto& id : steady)
    {
        ASSERT_TRUE(Streaming(id)) << host.Output();
    }
    const DWORD pid = host.ProcessId();
    const size_t baseThreads = ThreadCount(pid);

    std::mt19937 random(20261209);
    const auto deadline = std::chrono::seconds(20);
    std::vector<std::wstring> extra;
    size_t counts[7] = {};
    for (int step = 0; step < 200; ++step)
    {
        const int kind = static_cast<int>(random() % 7);
        ++counts[kind];
        const auto started = std::chrono::steady_clock::now();
        switch (kind)
        {
        case 0: // arrival
            extra.push_back(simulation::AddDevice());
            break;
        case 1: // orderly removal
        case 2: // surprise removal
            if (!extra.empty())
            {
                const std::wstring id = extra.back();
                extra.pop_back();
                EXPECT_EQ(simulation::RequestRemoval(id, kind == 1 ? simulation::RemovalKind::Orderly
                                                                   : simulation::RemovalKind::Surprise),
                          simulation::RemovalOutcome::Removed)
                    << "step " << step;
            }
            break;
        case 3: // a removal vetoed by the device
            EXPECT_EQ(simulation::RequestRemoval(steady[random() % steady.size()],
                                                 simulation::RemovalKind::WorldVeto),
                      simulation::RemovalOutcome::Vetoed)
                << "step " << step;
            break;
        case 4: // a new name
        {
            const std::wstring name = L"Unit " + std::to_wstring(step);
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, KeyOf(steady[random() % steady.size()]).c_str(), L"Name",
                            REG_SZ, name.c_str(), static_cast<DWORD>(name.size() * 2));
            break;
        }
        case 5: // ports on and off
        {
            const DWORD port = (step % 2 == 0) ? reflib_test::FreePort() : 0;
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, KeyOf(steady[random() % steady.size()]).c_str(), L"HttpPort",
                            REG_DWORD, &port, sizeof(port));
            break;
        }
        case 6: // the global parameters
        {
            const std::wstring path = L"C:\\certificate-" + std::to_wstring(step) + L".pem";
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(kProductKey) + L"\\parameters").c_str(),
                            L"SSLCertificate", REG_SZ, path.c_str(), static_cast<DWORD>(path.size() * 2));
            break;
        }
        }
        ASSERT_LT(std::chrono::steady_clock::now() - started, deadline)
            << "step " << step << " kind " << kind;
        ASSERT_FALSE(host.Wait(0ms).has_value()) << "the host ended at step " << step << "\n"
                                                 << host.Output();
        std::this_thread::sleep_for(20ms);
    }
    while (!extra.empty())
    {
        EXPECT_EQ(simulation::RequestRemoval(extra.back(), simulation::RemovalKind::Orderly),
                  simulation::RemovalOutcome::Removed);
        extra.pop_back();
    }

    // Web servers off again, as at the start (each running server has threads of its own).
    for (const auto& id : steady)
    {
        const DWORD off = 0;
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, KeyOf(id).c_str(), L"HttpPort", REG_DWORD, &off, sizeof(off));
    }

    // Every present device streams again, without a mismatch since the storm ended.
    simulation::ResetStatistics();
    for (const auto& id : steady)
    {
        ASSERT_TRUE(Streaming(id)) << host.Output();
        EXPECT_EQ(simulation::Statistics(id)->mismatches, 0u);
    }
    // The removed devices' instances are gone: only the steady ones' threads remain (a few of the
    // system's own may come and go).
    const bool settled = WaitUntil([&] { return ThreadCount(pid) <= baseThreads + 2; }, 10s);
    EXPECT_TRUE(settled) << "threads: " << ThreadCount(pid) << " at start: " << baseThreads;
    EXPECT_EQ(simulation::Totals().unregisterInCallback, 0u);
    std::cout << "[ figures  ] steps: arrivals " << counts[0] << ", orderly " << counts[1] << ", surprise "
              << counts[2] << ", vetoed " << counts[3] << ", names " << counts[4] << ", ports " << counts[5]
              << ", global " << counts[6] << "; threads " << baseThreads << " -> " << ThreadCount(pid)
              << "; open-handle vetoes " << simulation::Totals().vetoesOpenHandle << "\n";

    ASSERT_TRUE(host.Interrupt());
    EXPECT_EQ(host.Wait(20s), std::optional<DWORD>(0)) << host.Output() << host.Backtraces();
}

} // namespace
