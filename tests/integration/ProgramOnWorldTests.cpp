// The program's device classes (watcher, driver channel, device tree and endpoint helpers) running
// over the simulated device world, exactly as orvane-sim.exe runs them.
#include "config/InstanceId.h"
#include "driver/DeviceChildren.h"
#include "driver/Driver.h"
#include "driver/EndpointProperty.h"
#include "driver/InstanceWatcher.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceNames.h"
#include "simulation/DeviceWorld.h"

#include <gtest/gtest.h>

#include <mmdeviceapi.h>

#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

const GUID kInterfaceClass = {0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};
constexpr DWORD kFrames = 480;

bool WaitUntil(const std::function<bool()>& condition, int ms = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class CRecordingWatcher : public CInstanceWatcher
{
public:
    ~CRecordingWatcher() override { Stop(); }
    void OnArrival(const wchar_t* link) override { Record(L"+", link); }
    void OnRemoving(const wchar_t* link) override { Record(L"?", link); }
    void OnRemoved(const wchar_t* link) override { Record(L"-", link); }
    std::vector<std::wstring> Events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    void Record(const wchar_t* kind, const wchar_t* link)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(kind + std::wstring(link));
    }
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_events;
};

class ProgramOnWorldTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simulation::ResetWorld();
        simulation::WorldOptions options;
        options.removalWaitMs = 1000;
        world = std::make_unique<simulation::CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
    }
    void TearDown() override
    {
        world.reset();
        simulation::ResetWorld();
    }

    // The host's cycle: write the previous block, read the next one.
    static bool Cycle(CDriver& driver, std::vector<std::int32_t>& block)
    {
        return driver.Transfer(true, block.data(), kFrames * 4) &&
               driver.Transfer(false, block.data(), kFrames * 4);
    }

    std::unique_ptr<simulation::CDeviceWorld> world;
};

TEST_F(ProgramOnWorldTest, WatcherFollowsDevicesAndTheirIdsMatchTheInstanceIds)
{
    const std::wstring first = simulation::AddDevice();
    CRecordingWatcher watcher;
    watcher.SetInterfaceClass(kInterfaceClass);
    ASSERT_TRUE(watcher.Start());
    // Listed in one letter case, notified in the other: the watcher keeps each as it first saw it.
    const std::wstring firstLink = simulation::ListedLink(first, simulation::WorldLinkCase());
    EXPECT_EQ(watcher.Events(), (std::vector<std::wstring>{L"+" + firstLink}));
    // The id the add-device command prints is what the configuration derives from the link.
    EXPECT_EQ(InstanceIdFromPath(firstLink), simulation::HashForm(first));

    const std::wstring second = simulation::AddDevice();
    const std::wstring secondLink = simulation::NotifiedLink(second, simulation::WorldLinkCase());
    ASSERT_TRUE(WaitUntil([&] { return watcher.Events().size() == 2; }));
    EXPECT_EQ(watcher.Events()[1], L"+" + secondLink);

    EXPECT_EQ(simulation::RequestRemoval(first, simulation::RemovalKind::Orderly),
              simulation::RemovalOutcome::Removed);
    ASSERT_TRUE(WaitUntil([&] { return watcher.Events().size() == 4; }));
    EXPECT_EQ(watcher.Events()[2], L"?" + firstLink);
    EXPECT_EQ(watcher.Events()[3], L"-" + firstLink);
    EXPECT_EQ(watcher.Links(), (std::vector<std::wstring>{secondLink}));
}

TEST_F(ProgramOnWorldTest, DriverChannelLoopsBackSampleExactAtTheAudioRate)
{
    const std::wstring id = simulation::AddDevice();
    CDriver driver;
    ASSERT_TRUE(driver.Open(simulation::LinkForInstance(id)));
    EXPECT_EQ(driver.GetRemovalState(), CDriver::RemovalState::Watching);

    // Identity processing with one block of latency: what was read is written back next cycle.
    std::vector<std::int32_t> block(kFrames, 0);
    const int cycles = 60;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i)
    {
        ASSERT_TRUE(Cycle(driver, block)) << i;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const auto stats = simulation::Statistics(id);
            return stats && stats->blocksRead >= static_cast<std::uint32_t>(cycles);
        }));
    const auto stats = simulation::Statistics(id);
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->mismatches, 0u) << "first mismatch at block " << stats->firstMismatchBlock;
    EXPECT_GE(stats->blocksChecked, static_cast<std::uint32_t>(cycles - 2));
    // 60 blocks of 10 ms: paced by the device, never faster than the audio clock allows.
    EXPECT_GT(seconds, 0.45);
}

TEST_F(ProgramOnWorldTest, AShortReadFailsOneTransferOnly)
{
    const std::wstring id = simulation::AddDevice();
    CDriver driver;
    ASSERT_TRUE(driver.Open(simulation::LinkForInstance(id)));
    std::vector<std::int32_t> block(kFrames, 0);
    ASSERT_TRUE(Cycle(driver, block));
    ASSERT_TRUE(simulation::RequestShortRead(id));
    ASSERT_TRUE(driver.Transfer(true, block.data(), kFrames * 4));
    EXPECT_FALSE(driver.Transfer(false, block.data(), kFrames * 4));
    EXPECT_TRUE(Cycle(driver, block));
}

TEST_F(ProgramOnWorldTest, CancelEndsAPendingReadAndTransfersFailUntilOpen)
{
    const std::wstring id = simulation::AddDevice();
    const std::wstring link = simulation::LinkForInstance(id);
    CDriver driver;
    ASSERT_TRUE(driver.Open(link));
    std::vector<std::int32_t> block(kFrames, 0);
    // A read without a preceding write stays pending: the device answers each host block.
    auto read =
        std::async(std::launch::async, [&] { return driver.Transfer(false, block.data(), kFrames * 4); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    driver.Cancel();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(read.get());
    EXPECT_FALSE(driver.Transfer(true, block.data(), kFrames * 4));
    ASSERT_TRUE(driver.Open(link));
    EXPECT_TRUE(Cycle(driver, block));
}

// The channel lets go of its handle inside the query-remove callback, so the removal is not vetoed
// by the open handle (the system judges the handles as soon as the callbacks have returned).
TEST_F(ProgramOnWorldTest, QueryRemoveCancelsAndClosingLetsTheRemovalComplete)
{
    const std::wstring id = simulation::AddDevice();
    CDriver driver;
    ASSERT_TRUE(driver.Open(simulation::LinkForInstance(id)));
    EXPECT_EQ(simulation::RequestRemoval(id, simulation::RemovalKind::Orderly),
              simulation::RemovalOutcome::Removed);
    EXPECT_TRUE(driver.IsCancelled());
    EXPECT_EQ(driver.WaitWhileQueryRemove(), CDriver::RemovalState::Removed);
    EXPECT_EQ(simulation::Statistics(id)->vetoesOpenHandle, 0u);
    EXPECT_FALSE(driver.Open(simulation::LinkForInstance(id)));
}

TEST_F(ProgramOnWorldTest, AVetoedRemovalLeavesQueryRemoveFailedAndTheDeviceUsable)
{
    const std::wstring id = simulation::AddDevice();
    const std::wstring link = simulation::LinkForInstance(id);
    CDriver driver;
    ASSERT_TRUE(driver.Open(link));
    auto removal = std::async(std::launch::async, [&]
                              { return simulation::RequestRemoval(id, simulation::RemovalKind::WorldVeto); });
    ASSERT_TRUE(WaitUntil([&] { return driver.IsCancelled(); }));
    driver.Close();
    EXPECT_EQ(driver.WaitWhileQueryRemove(), CDriver::RemovalState::QueryRemoveFailed);
    EXPECT_EQ(removal.get(), simulation::RemovalOutcome::Vetoed);
    EXPECT_EQ(driver.GetRemovalState(), CDriver::RemovalState::QueryRemoveFailed);
    ASSERT_TRUE(driver.Open(link));
    EXPECT_EQ(driver.GetRemovalState(), CDriver::RemovalState::Watching);
    std::vector<std::int32_t> block(kFrames, 0);
    EXPECT_TRUE(Cycle(driver, block));
}

TEST_F(ProgramOnWorldTest, EndpointsOfADeviceGetTheirDescription)
{
    const std::wstring id = simulation::AddDevice();
    const std::wstring link = simulation::LinkForInstance(id);
    // The endpoints (the device's children) are made some time after the device started.
    std::vector<std::wstring> children;
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            children = GetDeviceChildren(link, kInterfaceClass);
            return children.size() == 2;
        }));
    const PROPERTYKEY description = kDeviceDescriptionKey;
    // The world's endpoint ids: the children's tails in lower case.
    std::vector<std::wstring> endpoints;
    for (const std::wstring& child : children)
    {
        endpoints.push_back(simulation::ToLower(child.substr(child.rfind(L'\\') + 1)));
    }
    for (std::size_t i = 0; i < children.size(); ++i)
    {
        EXPECT_TRUE(SetEndpointStringProperty(children[i], description, L"Studio \"A\""));
        EXPECT_EQ(simulation::EndpointStringProperty(endpoints[i], description.fmtid, description.pid),
                  std::optional<std::wstring>(L"Studio \"A\""));
    }
    // An inactive endpoint is not written.
    ASSERT_TRUE(simulation::SetEndpointState(endpoints[0], DEVICE_STATE_DISABLED));
    EXPECT_FALSE(SetEndpointStringProperty(children[0], description, L"other"));
}

} // namespace
