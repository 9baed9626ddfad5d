// Names, the capture signal, the render check and the audio clock: logic without a device.
#include "simulation/AudioClock.h"
#include "simulation/CaptureSignal.h"
#include "simulation/DeviceNames.h"
#include "simulation/StreamChecker.h"

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
    static constexpr size_t kFrames = 8;
    CCaptureSignal signal{3};
    CStreamChecker checker{kFrames, 1};
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

TEST(StreamCheckerTest, IdentityWithOneBlockOfLatencyPasses)
{
    CheckerRun run;
    std::vector<int32_t> initial(CheckerRun::kFrames, 0);
    run.Render(initial);
    for (int i = 0; i < 10; ++i)
    {
        run.Render(run.Capture());
    }
    EXPECT_EQ(run.checker.Checked(), 10u);
    EXPECT_EQ(run.checker.Mismatches(), 0u);
    EXPECT_EQ(run.checker.FirstMismatchBlock(), -1);
}

TEST(StreamCheckerTest, LostRepeatedAndAlteredBlocksAreCaughtWithTheirPosition)
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

// The host's processing as a stream: exact gain, a delay that is not a whole number of blocks, both
// combined, changed while streaming; a host that skipped the processing fails each of them.
TEST(StreamCheckerTest, GainAndDelayAreJudgedOverTheStreamAndRestartWhenChanged)
{
    const auto expectation = ParseExpectation(L"gain=0.5, delay=3");
    ASSERT_TRUE(expectation.has_value());
    EXPECT_EQ(ExpectationText(*expectation), L"gain=0.5,delay=3");
    EXPECT_EQ(ParseExpectation(L"identity"), StreamExpectation{});
    for (const wchar_t* bad : {L"", L"gain", L"gain=x", L"delay=-1", L"delay=1.5", L"delay=48001", L"echo=1"})
    {
        EXPECT_FALSE(ParseExpectation(bad).has_value()) << bad;
    }

    // The processed stream: y[n] = 0.5 * x[n - 3], the delay line starting silent.
    const auto run = [&](bool process)
    {
        CheckerRun r;
        r.checker.SetExpectation(*expectation);
        std::vector<int32_t> stream;
        r.Render(std::vector<int32_t>(CheckerRun::kFrames));
        for (int k = 0; k < 6; ++k)
        {
            const auto& in = r.Capture();
            std::vector<int32_t> out(CheckerRun::kFrames);
            for (size_t i = 0; i < out.size(); ++i)
            {
                stream.push_back(in[i]);
                const size_t n = stream.size() - 1;
                out[i] = !process ? in[i] : n < 3 ? 0 : stream[n - 3] / 2;
            }
            r.Render(out);
        }
        return std::make_pair(r.checker.Checked(), r.checker.Mismatches());
    };
    EXPECT_EQ(run(true), std::make_pair(6u, 0u));
    EXPECT_EQ(run(false), std::make_pair(6u, 6u));

    // Changed while streaming: from the next block on, the new expectation; the block in flight is
    // not judged against either.
    CheckerRun r;
    r.Render(std::vector<int32_t>(CheckerRun::kFrames));
    r.Render(r.Capture());
    const std::vector<int32_t> inFlight = r.Capture();
    r.checker.SetExpectation(StreamExpectation{0.5, 0});
    r.Render(inFlight); // captured before the change: not judged
    std::vector<int32_t> halved = r.Capture();
    for (auto& sample : halved)
    {
        sample /= 2;
    }
    r.Render(halved);
    EXPECT_EQ(r.checker.Mismatches(), 0u);
    EXPECT_EQ(r.checker.Checked(), 2u);
    r.Render(r.Capture()); // not processed any more: wrong
    EXPECT_EQ(r.checker.Mismatches(), 1u);
    r.Capture(false);                                    // sent short: the host failed that read
    r.Render(std::vector<int32_t>(CheckerRun::kFrames)); // whatever it sends is not judged
    EXPECT_EQ(r.checker.Mismatches(), 1u);
    EXPECT_EQ(r.checker.Checked(), 3u);
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
