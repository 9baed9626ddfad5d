#include "driver/Driver.h"

#include "diagnostics/BoundaryLog.h"
#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/SystemApi.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace
{
// How long a removal callback waits for a cancelled transfer to come back before it gives up and
// leaves the handle open (the removal is then vetoed rather than a handle closed under a transfer).
constexpr auto kTransferRundownLimit = std::chrono::seconds(5);
// A held-back transfer gives up on its own before that.
static_assert(CDriver::kTransferLimit + CDriver::kCancelLimit < kTransferRundownLimit);
// The smallest request block: a chunk of up to 2048 frames needs no further allocation.
constexpr std::size_t kInitialBlockBytes = 8192;
// ERROR_NO_SUCH_DEVICE, which MinGW does not define.
constexpr DWORD kErrorNoSuchDevice = 433;
// Request blocks given up on in this process.
std::atomic<std::uint32_t> g_parkedBlocks{0};

// Counts a transfer in for its whole life.
class CTransferCount
{
public:
    explicit CTransferCount(std::atomic<int>& count) noexcept : m_count(count) { m_count.fetch_add(1); }
    ~CTransferCount() { m_count.fetch_sub(1); }
    CTransferCount(const CTransferCount&) = delete;
    CTransferCount& operator=(const CTransferCount&) = delete;

private:
    std::atomic<int>& m_count;
};
} // namespace

CDriver::~CDriver()
{
    Close();
    UnregisterRemoval();
}

bool CDriver::Open(const std::wstring& link)
{
    Close();
    // The previous handle's notification goes before a new handle is stored: once unregistering has
    // returned, none of its callbacks runs or will run, so none can close the new handle or overwrite
    // the state of the new registration.
    UnregisterRemoval();
    {
        std::lock_guard lock(m_ioMutex);
        m_cancelled = false;
    }
    m_failuresInARow = 0;
    const std::wstring path = link + L"\\Control";
    // Identification only: whoever serves the path (a pipe posing as the device) cannot impersonate
    // this service.
    HANDLE handle = driver::Devices().CreateFileW(
        path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
    {
        return false;
    }
    {
        std::lock_guard lock(m_ioMutex);
        if (m_cancelled.load())
        {
            // A removal or a cancel came while the device was being opened: it found no handle to
            // close, so this one must not stay open behind its back.
            platform::Api().CloseHandle(handle);
            return false;
        }
        m_file.reset(handle);
        m_transferHandle = handle;
    }
    // Watched at once: a query-remove that comes between the open and the registration is not seen by
    // this handle's owner, and the system then refuses the removal for the open handle.
    RegisterRemoval(handle);
    (void)ReserveBlock(m_blockSize);
    // A query-remove on the new registration may have come at once and let go of the handle: the
    // device is on its way out, so this is no open channel (the caller waits before trying again).
    return m_transferHandle.load() == handle;
}

bool CDriver::Close()
{
    HANDLE closing = INVALID_HANDLE_VALUE;
    {
        std::lock_guard lock(m_ioMutex);
        m_transferHandle = INVALID_HANDLE_VALUE;
        if (!m_file)
        {
            return true;
        }
        closing = m_file.get();
        platform::Api().CancelIoEx(closing, nullptr);
    }
    // A transfer counts itself in before its first look at the handle: once none is in flight, none
    // uses the handle, and a later one sees no handle.
    const auto deadline = std::chrono::steady_clock::now() + kTransferRundownLimit;
    while (m_transfersInFlight.load() != 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            VLOG(velmar::LogSeverity::Error)
                << L"A cancelled transfer did not come back; the device stays open";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard lock(m_ioMutex);
    // An Open in between (on the transferring thread) closed this handle itself before its own.
    if (m_file.get() == closing && m_transferHandle.load() == INVALID_HANDLE_VALUE)
    {
        m_file.reset();
    }
    return !m_file;
}

void CDriver::Cancel()
{
    {
        std::lock_guard lock(m_ioMutex);
        m_cancelled = true;
        HANDLE handle = m_transferHandle.load();
        if (handle != INVALID_HANDLE_VALUE)
        {
            platform::Api().CancelIoEx(handle, nullptr);
        }
    }
    // A waiter tests its condition under the removal mutex; taking it here orders this wake-up after
    // whatever the caller changed before calling.
    {
        std::lock_guard lock(m_removalMutex);
    }
    m_removalCondition.notify_all();
}

bool CDriver::Transfer(bool write, void* buffer, DWORD size)
{
    // Counted in before the first look at the handle: a removal callback that has set the cancel flag
    // and then sees no transfer in flight knows that no transfer can still use the handle.
    CTransferCount counted(m_transfersInFlight);
    m_transferError = 0;
    m_stalled = false;
    if (m_cancelled.load())
    {
        return Failed();
    }
    HANDLE handle = m_transferHandle.load();
    if (handle == INVALID_HANDLE_VALUE)
    {
        return Failed();
    }
    m_blockSize = size;
    // Allocates only the first time, after a block was parked, or for a larger size.
    if (!ReserveBlock(size))
    {
        return Failed();
    }
    CRequestBlock& block = *m_block;
    if (write)
    {
        std::memcpy(block.data.data(), buffer, size);
    }
    block.overlapped = OVERLAPPED{};
    // ReadFile and WriteFile reset the event themselves as the request starts.
    block.overlapped.hEvent = block.completion.Handle();
    const BOOL started =
        write ? platform::Api().WriteFile(handle, block.data.data(), size, nullptr, &block.overlapped)
              : platform::Api().ReadFile(handle, block.data.data(), size, nullptr, &block.overlapped);
    if (!started)
    {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
        {
            m_transferError = error;
            return Failed();
        }
        // A Cancel that came between the check above and the start of this request found nothing to
        // cancel; without this the request would wait for the device until the limit.
        if (m_cancelled.load())
        {
            platform::Api().CancelIoEx(handle, &block.overlapped);
        }
    }
    // A request that has completed already (at once, or by now) needs no wait: under Wine every wait is a
    // round trip to the wineserver.
    if (!HasOverlappedIoCompleted(&block.overlapped) &&
        platform::Api().WaitForSingleObject(block.overlapped.hEvent,
                                            static_cast<DWORD>(kTransferLimit.count())) != WAIT_OBJECT_0)
    {
        // Held back: cancel this request, and give the cancel its own time to come back.
        m_stalled = true;
        platform::Api().CancelIoEx(handle, &block.overlapped);
        platform::Api().WaitForSingleObject(block.overlapped.hEvent,
                                            static_cast<DWORD>(kCancelLimit.count()));
    }
    DWORD transferred = 0;
    const BOOL completed =
        platform::Api().GetOverlappedResult(handle, &block.overlapped, &transferred, FALSE);
    const DWORD error = completed ? 0 : GetLastError();
    if (!completed && error == ERROR_IO_INCOMPLETE)
    {
        // Not even the cancel brought the request back: the system still owns the block.
        m_stalled = true;
        ParkBlock();
    }
    if (m_stalled)
    {
        ++m_stalls;
        ++m_stallsInARow;
        return Failed();
    }
    if (!completed)
    {
        m_transferError = error;
    }
    if (m_cancelled.load() || !completed || transferred != size)
    {
        return Failed();
    }
    if (!write)
    {
        std::memcpy(buffer, block.data.data(), size);
    }
    m_failuresInARow = 0;
    m_stallsInARow = 0;
    return true;
}

bool CDriver::Failed() noexcept
{
    ++m_failuresInARow;
    return false;
}

bool CDriver::ReserveBlock(std::size_t size) noexcept
{
    if (m_block != nullptr && m_block->data.size() >= size)
    {
        return true;
    }
    try
    {
        auto block = std::make_unique<CRequestBlock>(std::max(size, kInitialBlockBytes));
        if (block->completion.Handle() == nullptr)
        {
            return false;
        }
        m_block = std::move(block);
        return true;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

void CDriver::ParkBlock() noexcept
{
    // Deliberately never freed: the block, its OVERLAPPED and its event stay as they are for the
    // process's life. The next transfer or Open takes a fresh block.
    (void)m_block.release();
    g_parkedBlocks.fetch_add(1);
}

std::uint32_t CDriver::ParkedBlocks() noexcept
{
    return g_parkedBlocks.load();
}

void CDriver::PauseAfterFailures(std::chrono::microseconds period)
{
    if (m_failuresInARow < kFailuresBeforePause)
    {
        return;
    }
    // Stop and restart of the owner cancel the channel, and Cancel wakes this wait.
    std::unique_lock lock(m_removalMutex);
    m_removalCondition.wait_until(lock, std::chrono::steady_clock::now() + period,
                                  [this] { return m_cancelled.load(); });
}

bool CDriver::TransferFoundDeviceGone() const noexcept
{
    switch (m_transferError)
    {
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

void CDriver::RegisterRemoval(HANDLE handle)
{
    // Watching before the registration: a query-remove delivered as soon as it is made is not
    // overwritten.
    SetRemovalState(RemovalState::Watching);
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.Flags = 0;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
    filter.u.DeviceHandle.hTarget = handle;
    const CONFIGRET registered = driver::Devices().CM_Register_Notification(
        &filter, this, &HandleNotification, m_removalNotification.put());
    if (registered != CR_SUCCESS)
    {
        (void)m_removalNotification.release();
        VLOG(velmar::LogSeverity::Error) << L"CM_Register_Notification failed, error " << registered;
    }
}

CDriver::RemovalState CDriver::GetRemovalState() const
{
    std::lock_guard lock(m_removalMutex);
    return m_removalState;
}

CDriver::RemovalState CDriver::WaitWhileQueryRemove(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_removalMutex);
    m_removalCondition.wait_until(lock, std::chrono::steady_clock::now() + limit,
                                  [this] { return m_removalState != RemovalState::QueryRemove; });
    return m_removalState;
}

CDriver::RemovalOutcome CDriver::AwaitRemovalOutcome(const std::atomic<bool>& stop,
                                                     std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_removalMutex);
    m_removalCondition.wait_until(lock, std::chrono::steady_clock::now() + limit,
                                  [&] { return m_removalState != RemovalState::QueryRemove || stop.load(); });
    switch (m_removalState)
    {
    case RemovalState::QueryRemove:
        return stop.load() ? RemovalOutcome::Stopped : RemovalOutcome::NoOutcome;
    case RemovalState::Removed:
        return RemovalOutcome::Removed;
    default:
        return RemovalOutcome::Vetoed;
    }
}

DWORD CALLBACK CDriver::HandleNotification(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                           PCM_NOTIFY_EVENT_DATA, DWORD)
{
    if (context != nullptr)
    {
        CatchAndLog(velmar::LogSeverity::Error, L"Device handle notification failed",
                    [&] { static_cast<CDriver*>(context)->OnHandleNotification(action); });
    }
    // Never veto a removal.
    return ERROR_SUCCESS;
}

void CDriver::OnHandleNotification(CM_NOTIFY_ACTION action)
{
    switch (action)
    {
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVE:
        // The removal mutex is released before the I/O mutex is taken: never both at once.
        SetRemovalState(RemovalState::QueryRemove);
        ReleaseForRemoval();
        break;
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED:
        SetRemovalState(RemovalState::QueryRemoveFailed);
        break;
    case CM_NOTIFY_ACTION_DEVICEREMOVEPENDING:
    case CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE:
        // Also after a surprise removal: the owner stops streaming on a device that is gone instead of
        // retrying failed transfers until the interface goes away.
        SetRemovalState(RemovalState::Removed);
        ReleaseForRemoval();
        break;
    default:
        break;
    }
}

void CDriver::SetRemovalState(RemovalState state)
{
    {
        std::lock_guard lock(m_removalMutex);
        m_removalState = state;
    }
    m_removalCondition.notify_all();
}

void CDriver::ReleaseForRemoval()
{
    {
        std::lock_guard lock(m_ioMutex);
        m_cancelled = true;
    }
    // When a cancelled transfer does not come back the handle stays open and the removal is vetoed.
    (void)Close();
}

void CDriver::UnregisterRemoval() noexcept
{
    m_removalNotification.reset();
}
