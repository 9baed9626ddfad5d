// The control channel of a served device, driven with raw overlapped ReadFile/WriteFile.
#include "WorldTestSupport.h"

#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"
#include "simulation/CaptureSignal.h"
#include "simulation/ChannelIo.h"
#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"
#include "simulation/WorldStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace simulation;
using namespace worldtest;

namespace
{

constexpr size_t kFrames = 480;

class ChannelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetWorld();
        WorldOptions options;
        options.removalWaitMs = 300;
        world = std::make_unique<CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
        id = AddDevice();
    }
    void TearDown() override { world.reset(); }

    std::unique_ptr<CDeviceWorld> world;
    std::wstring id;
};

} // namespace

TEST_F(ChannelTest, LoopbackIsSampleExactWithOneBlockOfLatency)
{
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen()) << ::GetLastError();
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    const uint32_t salt = store::Find(id)->index;
    for (int k = 0; k < 40; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in)) << k;
        // What the device captured is the deterministic signal, block after block.
        std::vector<int32_t> expected(kFrames);
        CCaptureSignal(salt).Fill(static_cast<uint64_t>(k) * kFrames, expected.data(), kFrames);
        ASSERT_EQ(in, expected) << k;
        out = in; // identity processing: block k+1 written = capture block k
    }
    // The device counts a block once its write has completed, which may be after the host's read.
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const auto s = world->Statistics(id);
            return s->blocksRead == 40 && s->blocksWritten == 40;
        }));
    const DeviceStatistics s = *world->Statistics(id);
    EXPECT_EQ(s.blocksWritten, 40u);
    EXPECT_EQ(s.blocksChecked, 39u); // the first block is the host's initial one
    EXPECT_EQ(s.mismatches, 0u);
    EXPECT_EQ(s.firstMismatchBlock, -1);
    EXPECT_EQ(s.connections, 1u);
}

TEST_F(ChannelTest, AHostThatDropsABlockIsReportedAtThatBlock)
{
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    std::vector<int32_t> previous;
    for (int k = 0; k < 10; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in));
        // From block 6 on the host writes the capture block before the last one.
        out = (k >= 5 && !previous.empty()) ? previous : in;
        previous = in;
    }
    ASSERT_TRUE(WaitUntil([&] { return world->Statistics(id)->blocksRead == 10; }));
    const DeviceStatistics s = *world->Statistics(id);
    EXPECT_EQ(s.mismatches, 4u);
    EXPECT_EQ(s.firstMismatchBlock, 6);
    EXPECT_EQ(s.firstMismatchFrame, 0);
}

TEST_F(ChannelTest, BlocksArePacedAtTheAudioRate)
{
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    const auto start = std::chrono::steady_clock::now();
    int blocks = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500))
    {
        ASSERT_TRUE(host.Cycle(out, in));
        out = in;
        ++blocks;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = blocks / seconds; // 100 blocks per second at 480 frames and 48 kHz
    EXPECT_GT(rate, 60.0);
    EXPECT_LT(rate, 115.0);
}

TEST_F(ChannelTest, AnInjectedShortReadFailsOneReadOnly)
{
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    ASSERT_TRUE(host.Cycle(out, in));
    out = in;
    ASSERT_TRUE(RequestShortRead(id));
    const DWORD bytes = kFrames * 4;
    ASSERT_EQ(host.Transfer(true, out.data(), bytes), static_cast<long>(bytes));
    EXPECT_EQ(host.Transfer(false, in.data(), bytes), static_cast<long>(bytes / 2));
    for (int k = 0; k < 3; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in));
        out = in;
    }
    ASSERT_TRUE(WaitUntil([&] { return world->Statistics(id)->blocksWritten == 5; }));
    const DeviceStatistics s = *world->Statistics(id);
    EXPECT_EQ(s.shortReadsInjected, 1u);
    EXPECT_EQ(s.mismatches, 0u);
}

TEST_F(ChannelTest, CancelIoExFailsAPendingReadPromptly)
{
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> in(kFrames);
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = event;
    // Nothing written: the device has nothing to answer, the read stays pending.
    ASSERT_FALSE(::ReadFile(host.Handle(), in.data(), kFrames * 4, nullptr, &ov));
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(::WaitForSingleObject(event, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(::CancelIoEx(host.Handle(), nullptr));
    DWORD bytes = 99;
    EXPECT_FALSE(::GetOverlappedResult(host.Handle(), &ov, &bytes, TRUE));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    ::CloseHandle(event);
}

TEST_F(ChannelTest, OneHolderAtATimeAndTheChannelReopensAfterClose)
{
    CHostChannel first(OpenChannel(id));
    ASSERT_TRUE(first.IsOpen());
    HANDLE second = OpenChannel(id);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    const DWORD error = ::GetLastError();
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) << error;
    first.Close();
    CHostChannel again(OpenChannel(id));
    ASSERT_TRUE(again.IsOpen()) << ::GetLastError();
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    EXPECT_TRUE(again.Cycle(out, in));
    EXPECT_TRUE(WaitUntil([&] { return world->Statistics(id)->connections == 2; }));
}

// The time between two connections is silence; the first checked block is timed from the device's start
// once, and a reset of the figures keeps that time.
TEST_F(ChannelTest, TheGapBetweenConnectionsIsSilenceAndTheFirstCheckIsTimedOnce)
{
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    {
        CHostChannel first(OpenChannel(id));
        ASSERT_TRUE(first.IsOpen());
        for (int k = 0; k < 3; ++k)
        {
            ASSERT_TRUE(first.Cycle(out, in));
            out = in;
        }
        ASSERT_TRUE(WaitUntil([&] { return world->Statistics(id)->blocksChecked == 2; }));
    }
    const DeviceStatistics streamed = *world->Statistics(id);
    EXPECT_GT(streamed.firstCheckUs, 0u);
    EXPECT_EQ(streamed.silenceUs, 0u);
    world->ResetStatistics();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CHostChannel again(OpenChannel(id));
    ASSERT_TRUE(again.IsOpen());
    ASSERT_TRUE(again.Cycle(out, in));
    ASSERT_TRUE(WaitUntil([&] { return world->Statistics(id)->blocksRead == 1; }));
    const DeviceStatistics s = *world->Statistics(id);
    EXPECT_GE(s.silenceUs, 150'000u); // at least the 200 ms without a host, less one block
    EXPECT_EQ(s.firstCheckUs, streamed.firstCheckUs);
}

TEST_F(ChannelTest, AbsentOrUnservedDevicesFailLikeTheSystemAndOtherPathsPassThrough)
{
    EXPECT_EQ(OpenChannel(L"ROOT\\MEDIA\\0099"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    world->Stop(); // the device stays, its driver is not running
    EXPECT_EQ(OpenChannel(id), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE file = driver::Devices().CreateFileW(L"world-passthrough.tmp", GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file, "x", 1, &written, nullptr));
    ::CloseHandle(file);
}

TEST(ChannelTransformTest, TheExpectedTransformIsPluggable)
{
    ResetWorld();
    WorldOptions options;
    options.channel.framesPerBlock = 64;
    options.channel.expectation.gain = -1.0;
    CDeviceWorld world(options);
    ASSERT_TRUE(world.Start());
    const std::wstring id = AddDevice();
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> out(64, 0);
    std::vector<int32_t> in(64);
    for (int k = 0; k < 6; ++k)
    {
        ASSERT_TRUE(host.Cycle(out, in));
        for (size_t i = 0; i < in.size(); ++i)
        {
            out[i] = k < 3 ? -in[i] : in[i]; // processed right, then not processed at all
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return world.Statistics(id)->blocksRead == 6; }));
    EXPECT_EQ(world.Statistics(id)->mismatches, 2u);
    EXPECT_EQ(world.Statistics(id)->firstMismatchBlock, 4);
}

// Faults on demand, each counted: a write refused and a read failed with a chosen code, a
// block held back for a time, a block held back until the host gives up on it, a slow device.
TEST_F(ChannelTest, FaultsOnDemandAreCarriedOutAndCounted)
{
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    std::vector<int32_t> out(kFrames, 0);
    std::vector<int32_t> in(kFrames);
    const DWORD bytes = kFrames * 4;
    ASSERT_TRUE(host.Cycle(out, in));
    out = in;

    // A refused write: the device took nothing, so the write is made again before the next read.
    ASSERT_TRUE(RequestFailedWrite(id, ERROR_GEN_FAILURE));
    DWORD error = 0;
    EXPECT_EQ(host.Transfer(true, out.data(), bytes, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    ASSERT_TRUE(host.Cycle(out, in));
    // A failed read loses its block: the next read returns the block after it, not the same one.
    ASSERT_TRUE(RequestFailedRead(id, ERROR_DEVICE_NOT_CONNECTED));
    ASSERT_EQ(host.Transfer(true, in.data(), bytes), static_cast<long>(bytes));
    EXPECT_EQ(host.Transfer(false, in.data(), bytes, &error), -1);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    ASSERT_TRUE(host.Cycle(out, in));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    DWORD waiting = 1;
    ASSERT_TRUE(::PeekNamedPipe(host.Handle(), nullptr, 0, nullptr, &waiting, nullptr));
    EXPECT_EQ(waiting, 0u) << "a block the failed read left behind";

    // A stall of 300 ms delays one answer.
    ASSERT_TRUE(RequestStall(id, 300));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Cycle(in, in));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(280));

    // Held back until the host gives up: its read is cancelled, and the next cycle streams host.
    ASSERT_TRUE(RequestStall(id, 0));
    ASSERT_EQ(host.Transfer(true, in.data(), bytes), static_cast<long>(bytes));
    auto pending = std::async(std::launch::async, [&] { return host.Transfer(false, in.data(), bytes); });
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    ::CancelIoEx(host.Handle(), nullptr);
    EXPECT_EQ(pending.get(), -1);
    EXPECT_TRUE(host.Cycle(in, in));

    // Twice as slow: about 50 blocks a second instead of 100.
    ASSERT_TRUE(RequestSlow(id, 2.0));
    ASSERT_TRUE(host.Cycle(in, in));
    start = std::chrono::steady_clock::now();
    for (int k = 0; k < 10; ++k)
    {
        ASSERT_TRUE(host.Cycle(in, in));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(170));
    EXPECT_FALSE(RequestSlow(id, 0.5));

    ASSERT_TRUE(WaitUntil([&] { return Statistics(id)->cancelledTransfers >= 1; }));
    const DeviceStatistics s = *Statistics(id);
    EXPECT_EQ(s.failedReadsInjected, 1u);
    EXPECT_EQ(s.failedWritesInjected, 1u);
    EXPECT_EQ(s.stallsInjected, 2u);
    EXPECT_EQ(s.cancelledTransfers, 1u);
    EXPECT_GE(s.failedTransfers, 2u);
}

// A closed channel's handle value is given to the next open: the failures on it belong to the device
// that holds it now.
TEST_F(ChannelTest, AReusedHandleValueCountsForTheDeviceThatHoldsItNow)
{
    const std::wstring other = AddDevice();
    platform::UniqueEvent stand(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CChannelIo::Observe(stand.get(), id);
    CChannelIo::Observe(stand.get(), other);
    char byte = 0;
    DWORD read = 0;
    EXPECT_FALSE(platform::Api().ReadFile(stand.get(), &byte, 1, &read, nullptr));
    CChannelIo::Publish();
    EXPECT_EQ(Statistics(other)->failedTransfers, 1u);
    EXPECT_EQ(Statistics(id)->failedTransfers, 0u);
}
