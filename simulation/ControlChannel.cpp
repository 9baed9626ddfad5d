#include "simulation/ControlChannel.h"

#include "simulation/DeviceNames.h"

#include "platform/Boundary.h"

#include <algorithm>

namespace simulation
{

namespace
{

uint64_t Microseconds(CAudioClock::Clock::duration duration)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    return us > 0 ? static_cast<uint64_t>(us) : 0;
}

} // namespace

CControlChannel::CControlChannel(std::wstring instanceId, uint32_t salt, const ChannelOptions& options)
    : m_instanceId(std::move(instanceId)), m_options(options), m_signal(salt),
      m_clock(std::chrono::duration_cast<CAudioClock::Clock::duration>(std::chrono::duration<double>(
          static_cast<double>(options.framesPerBlock) / static_cast<double>(options.sampleRate)))),
      m_ioEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_render(options.framesPerBlock),
      m_capture(options.framesPerBlock), m_checker(options.framesPerBlock, options.latencyBlocks)
{
    m_checker.SetExpectation(options.expectation);
}

CControlChannel::~CControlChannel()
{
    Stop();
}

bool CControlChannel::Start()
{
    if (!m_ioEvent || !m_stopEvent || m_thread.joinable())
    {
        return false;
    }
    const DWORD bytes = static_cast<DWORD>(m_options.framesPerBlock * sizeof(int32_t));
    m_pipe.reset(
        ::CreateNamedPipeW(PipeNameForInstance(m_instanceId).c_str(),
                           PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                           1, bytes, bytes, 0, nullptr));
    if (!m_pipe)
    {
        return false;
    }
    m_startedAt = Clock::now();
    m_thread = std::thread([this] { platform::CatchAtBoundary([this] { Run(); }); });
    return true;
}

void CControlChannel::Stop()
{
    if (m_stopEvent)
    {
        ::SetEvent(m_stopEvent.get());
    }
    if (m_thread.joinable())
    {
        m_thread.join();
    }
    if (m_pipe)
    {
        ::DisconnectNamedPipe(m_pipe.get());
        m_pipe.reset();
    }
    m_connected = false;
}

bool CControlChannel::HandleOpen() const
{
    if (!m_connected || !m_pipe)
    {
        return false;
    }
    // The client's close is seen here at once, also while this side waits for the next slot.
    DWORD available = 0;
    if (::PeekNamedPipe(m_pipe.get(), nullptr, 0, nullptr, &available, nullptr))
    {
        return true;
    }
    const DWORD error = ::GetLastError();
    return error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED && error != ERROR_NO_DATA;
}

void CControlChannel::InjectStall(DWORD ms)
{
    m_stallPending = ms + 1;
}

void CControlChannel::SetSlowFactor(double factor)
{
    std::lock_guard lock(m_requestMutex);
    m_slowFactor = factor;
    m_requests = true;
}

void CControlChannel::SetExpectation(const StreamExpectation& expectation)
{
    std::lock_guard lock(m_requestMutex);
    m_pendingExpectation = expectation;
    m_expectationChanged = true;
    m_requests = true;
}

DeviceStatistics CControlChannel::Statistics() const
{
    std::lock_guard lock(m_statsMutex);
    DeviceStatistics figures = m_stats;
    figures.blocksChecked = m_checker.Checked();
    figures.mismatches = m_checker.Mismatches();
    figures.firstMismatchBlock = m_checker.FirstMismatchBlock();
    figures.firstMismatchFrame = m_checker.FirstMismatchFrame();
    figures.turnaroundP50Us = m_turnaround.Percentile(50);
    figures.turnaroundP99Us = m_turnaround.Percentile(99);
    figures.turnaroundMaxUs = m_turnaround.Max();
    figures.firstCheckUs = m_firstCheckUs;
    return figures;
}

void CControlChannel::ResetStatistics()
{
    std::lock_guard lock(m_statsMutex);
    m_stats = DeviceStatistics{};
    m_checker.ResetFigures();
    m_turnaround.Reset();
}

bool CControlChannel::Complete(OVERLAPPED& overlapped, BOOL started, DWORD& bytes)
{
    bytes = 0;
    if (!started)
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
        {
            return true;
        }
        if (error != ERROR_IO_PENDING)
        {
            return false;
        }
    }
    const HANDLE waits[] = {overlapped.hEvent, m_stopEvent.get()};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
    {
        ::CancelIoEx(m_pipe.get(), &overlapped);
        ::GetOverlappedResult(m_pipe.get(), &overlapped, &bytes, TRUE);
        return false;
    }
    return ::GetOverlappedResult(m_pipe.get(), &overlapped, &bytes, TRUE) != FALSE;
}

void CControlChannel::Run()
{
    while (::WaitForSingleObject(m_stopEvent.get(), 0) == WAIT_TIMEOUT)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_ioEvent.get();
        ::ResetEvent(m_ioEvent.get());
        DWORD bytes = 0;
        if (!Complete(overlapped, ::ConnectNamedPipe(m_pipe.get(), &overlapped), bytes))
        {
            if (::WaitForSingleObject(m_stopEvent.get(), 20) != WAIT_TIMEOUT)
            {
                break;
            }
            ::DisconnectNamedPipe(m_pipe.get());
            continue;
        }
        {
            std::lock_guard lock(m_statsMutex);
            ++m_stats.connections;
            m_checker.BeginConnection();
        }
        m_connected = true;
        Stream();
        m_connected = false;
        ::DisconnectNamedPipe(m_pipe.get());
    }
}

void CControlChannel::TakeRequests()
{
    if (!m_requests.exchange(false))
    {
        return;
    }
    std::lock_guard lock(m_requestMutex);
    m_clock.SetSlowFactor(m_slowFactor);
    if (m_expectationChanged)
    {
        m_expectationChanged = false;
        std::lock_guard stats(m_statsMutex);
        m_checker.SetExpectation(m_pendingExpectation);
    }
}

bool CControlChannel::TakeShortRead()
{
    for (uint32_t pending = m_shortReadsPending; pending > 0;)
    {
        if (m_shortReadsPending.compare_exchange_weak(pending, pending - 1))
        {
            return true;
        }
    }
    return false;
}

void CControlChannel::Stream()
{
    const size_t frames = m_options.framesPerBlock;
    const DWORD blockBytes = static_cast<DWORD>(frames * sizeof(int32_t));
    const unsigned latency = m_options.latencyBlocks;
    uint64_t renderBlocks = 0;
    uint64_t captureBlocks = 0;
    m_clock.Start(Clock::now());
    for (;;)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_ioEvent.get();
        ::ResetEvent(m_ioEvent.get());
        DWORD bytes = 0;
        BOOL ok = ::ReadFile(m_pipe.get(), m_render.data(), blockBytes, nullptr, &overlapped);
        // A message longer than a block: check what came, the rest arrives as the next message.
        if (!Complete(overlapped, ok, bytes) && ::GetLastError() != ERROR_MORE_DATA)
        {
            return;
        }
        const Clock::time_point arrived = Clock::now();
        TakeRequests();
        const CAudioClock::Slot slot = m_clock.Next(arrived);
        {
            std::lock_guard lock(m_statsMutex);
            if (renderBlocks == 0 && m_lastRenderAt)
            {
                // A new connection after an earlier one: the time in between had no host.
                const uint64_t gap = Microseconds(arrived - *m_lastRenderAt - m_clock.Period());
                m_stats.silenceUs =
                    static_cast<uint32_t>(std::min<uint64_t>(m_stats.silenceUs + gap, UINT32_MAX));
            }
            m_lastRenderAt = arrived;
            m_checker.OnRender(m_render.data(), bytes);
            if (m_firstCheckUs == 0 && m_checker.Checked() != 0)
            {
                m_firstCheckUs = static_cast<uint32_t>(
                    std::clamp<uint64_t>(Microseconds(arrived - m_startedAt), 1, UINT32_MAX));
            }
            ++m_stats.blocksRead;
            if (slot.late)
            {
                ++m_stats.lateBlocks;
                m_stats.glitchUs += Microseconds(slot.skipped);
            }
            // Render block j answers capture block j - latency.
            if (renderBlocks >= latency && renderBlocks - latency < captureBlocks &&
                captureBlocks - (renderBlocks - latency) <= kSentTimes)
            {
                m_turnaround.Record(Microseconds(arrived - m_sentAt[(renderBlocks - latency) % kSentTimes]));
            }
        }
        ++renderBlocks;

        const DWORD stall = m_stallPending.exchange(0);
        if (stall == 1)
        {
            // Held back until the host gives up on this block: its next write, or its close. The
            // stream starts again there, as after a new connection.
            std::lock_guard lock(m_statsMutex);
            ++m_stats.stallsInjected;
            m_checker.BeginConnection();
            renderBlocks = 0;
            captureBlocks = 0;
            continue;
        }
        if (stall > 1)
        {
            {
                std::lock_guard lock(m_statsMutex);
                ++m_stats.stallsInjected;
            }
            if (::WaitForSingleObject(m_stopEvent.get(), stall - 1) != WAIT_TIMEOUT)
            {
                return;
            }
        }
        const auto wait = slot.due - Clock::now();
        if (wait > Clock::duration::zero())
        {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
            if (::WaitForSingleObject(m_stopEvent.get(), static_cast<DWORD>(ms)) != WAIT_TIMEOUT)
            {
                return;
            }
        }

        m_signal.Fill(m_nextFrame, m_capture.data(), frames);
        m_nextFrame += frames;
        const bool whole = !TakeShortRead();
        {
            std::lock_guard lock(m_statsMutex);
            m_checker.OnCapture(m_capture.data(), whole);
            if (!slot.late && stall == 0)
            {
                const uint32_t lateUs = static_cast<uint32_t>(
                    std::min<uint64_t>(Microseconds(Clock::now() - slot.due), UINT32_MAX));
                m_stats.worldLateMaxUs = std::max(m_stats.worldLateMaxUs, lateUs);
            }
        }
        overlapped = OVERLAPPED{};
        overlapped.hEvent = m_ioEvent.get();
        ::ResetEvent(m_ioEvent.get());
        ok = ::WriteFile(m_pipe.get(), m_capture.data(), whole ? blockBytes : blockBytes / 2, nullptr,
                         &overlapped);
        if (!Complete(overlapped, ok, bytes))
        {
            return;
        }
        m_sentAt[captureBlocks % kSentTimes] = Clock::now();
        ++captureBlocks;
        std::lock_guard lock(m_statsMutex);
        ++m_stats.blocksWritten;
        if (!whole)
        {
            ++m_stats.shortReadsInjected;
        }
    }
}

} // namespace simulation
