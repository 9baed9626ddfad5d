#pragma once
// The driver side of one device's control channel: a named pipe server (one client at a time) that
// receives the host's render blocks, checks the stream, and answers each with the next capture block
// at the next slot of the audio clock. Each block goes out in one WriteFile, because a pending read on
// the other side completes with what one write delivered. Nothing is allocated per block.
#include "simulation/AudioClock.h"
#include "simulation/CaptureSignal.h"
#include "simulation/DeviceStatistics.h"
#include "simulation/LatencyHistogram.h"
#include "simulation/StreamChecker.h"
#include "platform/UniqueHandle.h"

#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace simulation
{

struct ChannelOptions
{
    size_t framesPerBlock = 480;
    unsigned latencyBlocks = 1; // the host's initial blocks before it answers the first capture block
    StreamExpectation expectation;
    uint32_t sampleRate = 48000;
};

class CControlChannel
{
public:
    CControlChannel(std::wstring instanceId, uint32_t salt, const ChannelOptions& options);
    ~CControlChannel();
    CControlChannel(const CControlChannel&) = delete;
    CControlChannel& operator=(const CControlChannel&) = delete;

    // Creates the pipe (so that it can be opened as soon as this returns) and starts serving.
    bool Start();
    // Breaks the connection (the client's pending and later I/O fail) and closes the pipe; safe to
    // call twice.
    void Stop();

    // True while a client holds the channel open (a client that closed its handle is seen at once).
    bool HandleOpen() const;
    // The next capture block is sent with half its bytes, once.
    void InjectShortRead() { ++m_shortReadsPending; }
    // The next capture block is held back for `ms` ms, or with 0 until the host gives up on it (writes
    // again or closes).
    void InjectStall(DWORD ms);
    // The audio clock runs `factor` times slower (1: the audio rate).
    void SetSlowFactor(double factor);
    // The check restarts at the next block with this expectation.
    void SetExpectation(const StreamExpectation& expectation);
    DeviceStatistics Statistics() const;
    void ResetStatistics();
    const std::wstring& InstanceId() const { return m_instanceId; }

private:
    void Run();
    void Stream();
    // Waits for an overlapped operation on the pipe; false when stopped or failed.
    bool Complete(OVERLAPPED& overlapped, BOOL started, DWORD& bytes);
    // Takes the requests made from other threads at a block boundary.
    void TakeRequests();
    bool TakeShortRead();

    using Clock = CAudioClock::Clock;
    static constexpr size_t kSentTimes = 64;

    std::wstring m_instanceId;
    ChannelOptions m_options;
    CCaptureSignal m_signal;
    CAudioClock m_clock;
    platform::UniqueFile m_pipe;
    platform::UniqueEvent m_ioEvent;
    platform::UniqueEvent m_stopEvent;
    std::thread m_thread;
    std::atomic<bool> m_connected{false};
    std::atomic<uint32_t> m_shortReadsPending{0};
    std::atomic<DWORD> m_stallPending{0}; // 0 none, else ms + 1 (1: until the host gives up)
    uint64_t m_nextFrame = 0;
    std::vector<int32_t> m_render;
    std::vector<int32_t> m_capture;
    // When each capture block of this connection was handed over, by block number.
    std::array<Clock::time_point, kSentTimes> m_sentAt{};
    // When the channel started, and when the host's last block came (over all connections).
    Clock::time_point m_startedAt{};
    std::optional<Clock::time_point> m_lastRenderAt;

    // Requests from other threads, taken at the next block.
    std::mutex m_requestMutex;
    bool m_expectationChanged = false;
    StreamExpectation m_pendingExpectation;
    double m_slowFactor = 1.0;
    std::atomic<bool> m_requests{false};

    // The figures, written by the streaming thread, read by anyone.
    mutable std::mutex m_statsMutex;
    CStreamChecker m_checker;
    CLatencyHistogram m_turnaround;
    DeviceStatistics m_stats;
    uint32_t m_firstCheckUs = 0; // a property of the device's start: kept by ResetStatistics
};

} // namespace simulation
