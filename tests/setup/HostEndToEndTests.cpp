// The setup commands as a user runs them (orvane-sim.exe -a / -r) while the host streams on the device
// world, which this test process serves.
#include "../processing/HostProcess.h"

#include "config/StoragePath.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"
#include "simulation/WorldStore.h"

#include "RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;
using hosttest::CHostProcess;
using hosttest::WaitUntil;

namespace
{

// Blocks the device's render checker has judged so far.
std::uint32_t Checked(const std::wstring& deviceInstanceId)
{
    const auto figures = simulation::Statistics(deviceInstanceId);
    return figures ? figures->blocksChecked : 0;
}

bool Streams(const std::wstring& deviceInstanceId)
{
    const std::uint32_t before = Checked(deviceInstanceId);
    return WaitUntil([&] { return Checked(deviceInstanceId) >= before + 20; }, 20s);
}

bool Started(const std::wstring& deviceInstanceId)
{
    const auto record = simulation::store::Find(deviceInstanceId);
    return record && record->state == simulation::DeviceState::Started;
}

// Runs one command of orvane-sim.exe to its end; its exit code and what it wrote (text mode: "\r\n").
std::pair<DWORD, std::string> Command(const std::wstring& arguments)
{
    CHostProcess command(arguments);
    const std::optional<DWORD> code = command.Wait(60s);
    return {code.value_or(99), command.Output()};
}

class SetupWithHostTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Clean();
        world = std::make_unique<simulation::CDeviceWorld>();
        ASSERT_TRUE(world->Start());
    }
    void TearDown() override
    {
        world.reset();
        Clean();
    }
    static void Clean()
    {
        simulation::ResetWorld();
        testreg::DeleteProductKey();
        std::filesystem::remove_all(GetStoragePath(L"VELMAR", L"ORVANE.CL.drv"));
    }

    std::unique_ptr<simulation::CDeviceWorld> world;
};

} // namespace

TEST_F(SetupWithHostTest, DevicesAddedAndRemovedWhileTheHostStreams)
{
    // The host starts only with a device present.
    ASSERT_EQ(Command(L"-a"), std::make_pair(DWORD{0}, std::string("ROOT#MEDIA#0000\r\n")));
    CHostProcess host(L"-v");
    ASSERT_TRUE(host.Started());
    ASSERT_TRUE(Streams(L"ROOT\\MEDIA\\0000")) << host.Output();

    // A device added now gets its instance, which streams.
    ASSERT_EQ(Command(L"-a"), std::make_pair(DWORD{0}, std::string("ROOT#MEDIA#0001\r\n")));
    ASSERT_TRUE(Streams(L"ROOT\\MEDIA\\0001")) << host.Output();

    // Removed while it streams: the host lets go in time, so no restart is needed.
    EXPECT_EQ(Command(L"-r ROOT#MEDIA#0001").first, 0u);
    EXPECT_FALSE(Started(L"ROOT\\MEDIA\\0001"));
    EXPECT_FALSE(testreg::KeyExists(std::wstring(testreg::kInstancesPath) + L"\\ROOT#MEDIA#0001"));
    EXPECT_TRUE(Streams(L"ROOT\\MEDIA\\0000")) << host.Output();

    // As on the system, the removed device's number is the first to be given again.
    for (const char* id : {"ROOT#MEDIA#0001\r\n", "ROOT#MEDIA#0002\r\n", "ROOT#MEDIA#0003\r\n"})
    {
        ASSERT_EQ(Command(L"-a"), std::make_pair(DWORD{0}, std::string(id)));
    }
    for (const wchar_t* id :
         {L"ROOT\\MEDIA\\0000", L"ROOT\\MEDIA\\0001", L"ROOT\\MEDIA\\0002", L"ROOT\\MEDIA\\0003"})
    {
        ASSERT_TRUE(Streams(id)) << host.Output();
    }
    EXPECT_EQ(Command(L"-r all").first, 0u);
    for (const simulation::DeviceRecord& device : simulation::store::Devices())
    {
        EXPECT_NE(device.state, simulation::DeviceState::Started) << device.instanceId;
    }
    EXPECT_TRUE(WaitUntil([&] { return host.CountInOutput("Instance removed") == 5; }, 10s)) << host.Output();

    ASSERT_TRUE(host.Interrupt());
    EXPECT_EQ(host.Wait(20s), std::optional<DWORD>(0)) << host.Output();
}
