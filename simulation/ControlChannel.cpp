#include "simulation/ControlChannel.h"

#include "simulation/DeviceNames.h"

#include <vector>

namespace simulation
{

CControlChannel::CControlChannel(std::wstring instanceId, uint32_t salt, const ChannelOptions& options)
    : m_instanceId(std::move(instanceId)), m_options(options), m_signal(salt),
      m_checker(options.framesPerBlock, options.latencyBlocks, options.transform),
      m_clock(std::chrono::duration_cast<CAudioClock::Clock::duration>(std::chrono::duration<double>(
          static_cast<double>(options.framesPerBlock) / static_cast<double>(options.sampleRate))))
{
    m_ioEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CControlChannel::~CControlChannel()
{
    Stop();
    if (m_pipe != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_pipe);
    if (m_ioEvent)
        ::CloseHandle(m_ioEvent);
    if (m_stopEvent)
        ::CloseHandle(m_stopEvent);
}

bool CControlChannel::Start()
{
    if (!m_ioEvent || !m_stopEvent || m_thread.joinable())
        return false;
    const DWORD bytes = static_cast<DWORD>(m_options.framesPerBlock * sizeof(int32_t));
    m_pipe =
        ::CreateNamedPipeW(PipeNameForInstance(m_instanceId).c_str(),
                           PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                           1, bytes, bytes, 0, nullptr);
    if (m_pipe == INVALID_HANDLE_VALUE)
        return false;
    m_thread = std::thread([this] { Run(); });
    return true;
}

void CControlChannel::Stop()
{
    if (m_stopEvent)
        ::SetEvent(m_stopEvent);
    if (m_thread.joinable())
        m_thread.join();
    if (m_pipe != INVALID_HANDLE_VALUE)
    {
        ::DisconnectNamedPipe(m_pipe);
        ::CloseHandle(m_pipe);
        m_pipe = INVALID_HANDLE_VALUE;
    }
    m_connected = false;
}

DeviceStatistics CControlChannel::Statistics() const
{
    std::lock_guard lock(m_statsMutex);
    DeviceStatistics s = m_stats;
    return s;
}

bool CControlChannel::Complete(OVERLAPPED& ov, BOOL started, DWORD& bytes)
{
    bytes = 0;
    if (!started)
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_PIPE_CONNECTED)
            return true;
        if (error != ERROR_IO_PENDING)
            return false;
    }
    const HANDLE waits[] = {ov.hEvent, m_stopEvent};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
    {
        ::CancelIoEx(m_pipe, &ov);
        ::GetOverlappedResult(m_pipe, &ov, &bytes, TRUE);
        return false;
    }
    return ::GetOverlappedResult(m_pipe, &ov, &bytes, TRUE) != FALSE;
}

void CControlChannel::Run()
{
    while (::WaitForSingleObject(m_stopEvent, 0) == WAIT_TIMEOUT)
    {
        OVERLAPPED ov{};
        ov.hEvent = m_ioEvent;
        ::ResetEvent(m_ioEvent);
        DWORD bytes = 0;
        if (!Complete(ov, ::ConnectNamedPipe(m_pipe, &ov), bytes))
        {
            if (::WaitForSingleObject(m_stopEvent, 20) != WAIT_TIMEOUT)
                break;
            ::DisconnectNamedPipe(m_pipe);
            continue;
        }
        {
            std::lock_guard lock(m_statsMutex);
            ++m_stats.connections;
        }
        m_connected = true;
        Stream();
        m_connected = false;
        ::DisconnectNamedPipe(m_pipe);
    }
}

void CControlChannel::Stream()
{
    const size_t frames = m_options.framesPerBlock;
    const DWORD blockBytes = static_cast<DWORD>(frames * sizeof(int32_t));
    std::vector<int32_t> render(frames);
    std::vector<int32_t> capture(frames);
    m_checker.BeginConnection();
    m_clock.Start(CAudioClock::Clock::now());
    for (;;)
    {
        OVERLAPPED ov{};
        ov.hEvent = m_ioEvent;
        ::ResetEvent(m_ioEvent);
        DWORD bytes = 0;
        BOOL ok = ::ReadFile(m_pipe, render.data(), blockBytes, nullptr, &ov);
        if (!Complete(ov, ok, bytes))
        {
            // A message longer than a block: check what came, the rest arrives as the next message.
            if (::GetLastError() != ERROR_MORE_DATA)
                return;
        }
        const CAudioClock::Slot slot = m_clock.Next(CAudioClock::Clock::now());
        {
            std::lock_guard lock(m_statsMutex);
            m_checker.OnRender(render.data(), bytes);
            ++m_stats.blocksRead;
            if (slot.late)
                ++m_stats.lateBlocks;
            m_stats.blocksChecked = m_checker.Checked();
            m_stats.mismatches = m_checker.Mismatches();
            m_stats.firstMismatchBlock = m_checker.FirstMismatchBlock();
            m_stats.firstMismatchFrame = m_checker.FirstMismatchFrame();
        }

        const auto wait = slot.due - CAudioClock::Clock::now();
        if (wait > CAudioClock::Clock::duration::zero())
        {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
            if (::WaitForSingleObject(m_stopEvent, static_cast<DWORD>(ms)) != WAIT_TIMEOUT)
                return;
        }

        m_signal.Fill(m_nextFrame, capture.data(), frames);
        m_nextFrame += frames;
        bool whole = true;
        for (uint32_t pending = m_shortReadsPending; pending > 0;)
        {
            if (m_shortReadsPending.compare_exchange_weak(pending, pending - 1))
            {
                whole = false;
                break;
            }
        }
        {
            std::lock_guard lock(m_statsMutex);
            m_checker.OnCapture(capture.data(), whole);
        }
        ov = OVERLAPPED{};
        ov.hEvent = m_ioEvent;
        ::ResetEvent(m_ioEvent);
        ok = ::WriteFile(m_pipe, capture.data(), whole ? blockBytes : blockBytes / 2, nullptr, &ov);
        if (!Complete(ov, ok, bytes))
            return;
        std::lock_guard lock(m_statsMutex);
        ++m_stats.blocksWritten;
        if (!whole)
            ++m_stats.shortReadsInjected;
    }
}

} // namespace simulation
