// Names, the capture signal, the render check and the audio clock: logic without a device.
#include "simulation/AudioClock.h"
#include "simulation/CaptureSignal.h"
#include "simulation/DeviceNames.h"
#include "simulation/RenderChecker.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

using namespace simulation;

TEST(DeviceNamesTest, LinkPipeAndInstanceIdBelongTogether)
{
    const std::wstring id = InstanceIdForIndex(L"media", 7);
    EXPECT_EQ(id, L"ROOT\\MEDIA\\0007");
    const std::wstring link = LinkForInstance(id);
    EXPECT_EQ(link, L"\\\\?\\ROOT#MEDIA#0007#{19e108d8-935a-460c-9f52-cdc7c63292e1}");
    // Dropping the prefix and cutting at the last "#{" gives the "#" form of the instance id.
    EXPECT_EQ(link.substr(4, link.rfind(L"#{") - 4), L"ROOT#MEDIA#0007");
    EXPECT_EQ(InstanceFromLink(link).value_or(L""), id);
    EXPECT_EQ(PipeNameForInstance(id),
              L"\\\\.\\pipe\\ROOT#MEDIA#0007#{19e108d8-935a-460c-9f52-cdc7c63292e1}\\Control");
}

TEST(DeviceNamesTest, OnlyControlPathsOfOurInterfaceAreDevicePaths)
{
    const std::wstring link = LinkForInstance(L"ROOT\\MEDIA\\0000");
    EXPECT_EQ(LinkFromControlPath(link + L"\\Control").value_or(L""), link);
    EXPECT_EQ(LinkFromControlPath(link + L"\\control").value_or(L""), link);
    EXPECT_FALSE(LinkFromControlPath(link));
    EXPECT_FALSE(LinkFromControlPath(L"C:\\temp\\Control"));
    EXPECT_FALSE(
        LinkFromControlPath(L"\\\\?\\ROOT#MEDIA#0000#{00000000-0000-0000-0000-000000000000}\\Control"));
    EXPECT_FALSE(LinkFromControlPath(L"\\\\?\\#{19e108d8-935a-460c-9f52-cdc7c63292e1}\\Control"));
    EXPECT_FALSE(LinkFromControlPath(L"\\Control"));
}

TEST(CaptureSignalTest, SamplesSurviveAFloatRoundTripAndDifferPerDeviceAndBlock)
{
    CCaptureSignal a(0);
    CCaptureSignal b(1);
    std::set<int32_t> seen;
    int sameAcrossDevices = 0;
    for (uint64_t frame = 0; frame < 4800; ++frame)
    {
        const int32_t v = a.Sample(frame);
        EXPECT_EQ(v & 0xFF, 0);
        const float f = static_cast<float>(v) / 2147483648.0f;
        EXPECT_EQ(static_cast<int32_t>(static_cast<double>(f) * 2147483648.0), v);
        seen.insert(v);
        sameAcrossDevices += v == b.Sample(frame);
    }
    EXPECT_GT(seen.size(), 4790u); // practically no repeats
    EXPECT_LT(sameAcrossDevices, 3);
    EXPECT_EQ(CCaptureSignal::Sample(0, 1234), a.Sample(1234));
}

namespace
{

struct CheckerRun
{
    explicit CheckerRun(BlockTransform transform = {}) : checker(kFrames, 1, std::move(transform)) {}
    static constexpr size_t kFrames = 8;
    CCaptureSignal signal{3};
    CRenderChecker checker;
    uint64_t frame = 0;
    std::vector<std::vector<int32_t>> captures;

    // Sends one capture block and returns it.
    const std::vector<int32_t>& Capture(bool whole = true)
    {
        std::vector<int32_t> block(kFrames);
        signal.Fill(frame, block.data(), kFrames);
        frame += kFrames;
        checker.OnCapture(block.data(), whole);
        captures.push_back(block);
        return captures.back();
    }
    void Render(const std::vector<int32_t>& block) { checker.OnRender(block.data(), block.size() * 4); }
};

} // namespace

TEST(RenderCheckerTest, IdentityWithOneBlockOfLatencyPasses)
{
    CheckerRun run;
    std::vector<int32_t> initial(CheckerRun::kFrames, 0);
    run.Render(initial);
    for (int i = 0; i < 10; ++i)
        run.Render(run.Capture());
    EXPECT_EQ(run.checker.Checked(), 10u);
    EXPECT_EQ(run.checker.Mismatches(), 0u);
    EXPECT_EQ(run.checker.FirstMismatchBlock(), -1);
}

TEST(RenderCheckerTest, LostRepeatedAndAlteredBlocksAreCaughtWithTheirPosition)
{
    {
        CheckerRun run; // the host repeats block 2 instead of sending block 3
        run.Render(std::vector<int32_t>(CheckerRun::kFrames));
        run.Render(run.Capture()); // render 1
        run.Render(run.Capture()); // render 2
        run.Capture();
        run.Render(run.captures[1]); // render 3 repeats capture 1
        EXPECT_EQ(run.checker.Mismatches(), 1u);
        EXPECT_EQ(run.checker.FirstMismatchBlock(), 3);
        EXPECT_EQ(run.checker.FirstMismatchFrame(), 0);
    }
    {
        CheckerRun run; // one sample altered
        run.Render(std::vector<int32_t>(CheckerRun::kFrames));
        auto block = run.Capture();
        block[5] ^= 0x100;
        run.Render(block);
        EXPECT_EQ(run.checker.FirstMismatchBlock(), 1);
        EXPECT_EQ(run.checker.FirstMismatchFrame(), 5);
    }
    {
        CheckerRun run; // a short render block
        run.Render(std::vector<int32_t>(CheckerRun::kFrames));
        const auto block = run.Capture();
        run.checker.OnRender(block.data(), 12);
        EXPECT_EQ(run.checker.Mismatches(), 1u);
        EXPECT_EQ(run.checker.FirstMismatchFrame(), -1);
    }
}

TEST(RenderCheckerTest, TransformIsPluggableAndShortCaptureBlocksAreNotJudged)
{
    auto half = [](const int32_t* in, int32_t* out, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            out[i] = (in[i] / 2) & ~0xFF;
    };
    CheckerRun run(half);
    run.Render(std::vector<int32_t>(CheckerRun::kFrames));
    std::vector<int32_t> processed(CheckerRun::kFrames);
    const auto& first = run.Capture();
    half(first.data(), processed.data(), processed.size());
    run.Render(processed);
    EXPECT_EQ(run.checker.Mismatches(), 0u);
    run.Render(run.Capture()); // unprocessed: wrong
    EXPECT_EQ(run.checker.Mismatches(), 1u);
    run.Capture(false);                                    // sent short: the host failed that read
    run.Render(std::vector<int32_t>(CheckerRun::kFrames)); // whatever it sends is not judged
    EXPECT_EQ(run.checker.Mismatches(), 1u);
    EXPECT_EQ(run.checker.Checked(), 2u);
}

TEST(AudioClockTest, SlotsFollowTheGridWithoutDriftAndLateBlocksAreAnsweredAtOnce)
{
    using namespace std::chrono;
    CAudioClock clock(milliseconds(10));
    const auto t0 = CAudioClock::Clock::time_point{} + seconds(100);
    clock.Start(t0);
    // A host that answers 3 ms after each slot keeps the grid: no accumulated delay.
    auto slot = clock.Next(t0 + milliseconds(1));
    EXPECT_EQ(slot.due, t0 + milliseconds(10));
    EXPECT_FALSE(slot.late);
    for (int k = 2; k <= 50; ++k)
    {
        slot = clock.Next(t0 + milliseconds(10 * (k - 1) + 3));
        ASSERT_EQ(slot.due, t0 + milliseconds(10 * k)) << k;
        ASSERT_FALSE(slot.late);
    }
    // The host stalls for 100 ms: answered at once, counted late, and then one block per period
    // again from there: no burst of catch-up blocks.
    const auto stalled = t0 + milliseconds(600);
    slot = clock.Next(stalled);
    EXPECT_TRUE(slot.late);
    EXPECT_EQ(slot.due, stalled);
    slot = clock.Next(stalled + milliseconds(1));
    EXPECT_FALSE(slot.late);
    EXPECT_EQ(slot.due, stalled + milliseconds(10));
}
