// Sixteen devices streaming for ten seconds through a minimal client (each block looped back on the
// channel with overlapped I/O): every device streams without a mismatch; the figures are reported,
// not asserted, as this machine is shared.
#include "WorldTestSupport.h"

#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace simulation;
using namespace worldtest;

TEST(ManyDevicesTest, SixteenDevicesStreamForTenSecondsThroughAMinimalClient)
{
    ResetWorld();
    CDeviceWorld world;
    ASSERT_TRUE(world.Start());
    std::vector<std::wstring> ids;
    for (int i = 0; i < 16; ++i)
    {
        ids.push_back(AddDevice());
    }
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (const auto& id : ids)
    {
        clients.emplace_back(
            [&, id]
            {
                CHostChannel host(OpenChannel(id));
                std::vector<int32_t> block(480, 0);
                while (!stop && host.IsOpen())
                {
                    if (!host.Cycle(block, block))
                    {
                        ++failures;
                        return;
                    }
                }
            });
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ResetStatistics(); // the warm-up is not counted
    std::this_thread::sleep_for(std::chrono::seconds(10));
    stop = true;
    for (auto& client : clients)
    {
        client.join();
    }
    EXPECT_EQ(failures.load(), 0);
    uint32_t slowestP99 = 0;
    uint32_t late = 0;
    uint64_t glitch = 0;
    for (const auto& id : ids)
    {
        const DeviceStatistics s = *Statistics(id);
        EXPECT_GT(s.blocksChecked, 100u) << HashForm(id);
        EXPECT_EQ(s.mismatches, 0u) << HashForm(id);
        std::printf(
            "[ figures  ] %ls blocks %u turnaround p50/p99/max %u/%u/%u us late %u world-late-max %u us "
            "glitch %llu us\n",
            HashForm(id).c_str(), s.blocksChecked, s.turnaroundP50Us, s.turnaroundP99Us, s.turnaroundMaxUs,
            s.lateBlocks, s.worldLateMaxUs, static_cast<unsigned long long>(s.glitchUs));
        slowestP99 = std::max(slowestP99, s.turnaroundP99Us);
        late += s.lateBlocks;
        glitch += s.glitchUs;
    }
    std::printf(
        "[ figures  ] 16 devices, 10 s: slowest turnaround p99 %u us, late blocks %u, glitch %llu us\n",
        slowestP99, late, static_cast<unsigned long long>(glitch));
}
