#pragma once
// The driver side of one device's control channel: a named pipe server (one client at a time) that
// receives the host's render blocks, checks them, and answers each with the next capture block at the
// next slot of the audio clock. Each block goes out in one WriteFile, because a pending read on the
// other side completes with what one write delivered.
#include "simulation/AudioClock.h"
#include "simulation/CaptureSignal.h"
#include "simulation/DeviceStatistics.h"
#include "simulation/RenderChecker.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include <windows.h>

namespace simulation
{

struct ChannelOptions
{
    size_t framesPerBlock = 480;
    unsigned latencyBlocks = 1;
    BlockTransform transform; // empty: identity
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
    // Breaks the connection (the client's I/O fails) and closes the pipe; safe to call twice.
    void Stop();

    bool ClientConnected() const { return m_connected; }
    // The next capture block is sent with half its bytes, once.
    void InjectShortRead() { ++m_shortReadsPending; }
    DeviceStatistics Statistics() const;
    const std::wstring& InstanceId() const { return m_instanceId; }

private:
    void Run();
    void Stream();
    // Waits for an overlapped operation on the pipe; false when stopped or failed.
    bool Complete(OVERLAPPED& ov, BOOL started, DWORD& bytes);

    std::wstring m_instanceId;
    ChannelOptions m_options;
    CCaptureSignal m_signal;
    CRenderChecker m_checker;
    CAudioClock m_clock;
    HANDLE m_pipe = INVALID_HANDLE_VALUE;
    HANDLE m_ioEvent = nullptr;
    HANDLE m_stopEvent = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_connected{false};
    std::atomic<uint32_t> m_shortReadsPending{0};
    uint64_t m_nextFrame = 0;
    mutable std::mutex m_statsMutex;
    DeviceStatistics m_stats;
};

} // namespace simulation
