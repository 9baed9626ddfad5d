#include "driver/Driver.h"

#include "diagnostics/Log.h"
#include "platform/Boundary.h"
#include "platform/SystemApi.h"

#include <chrono>
#include <thread>

namespace
{
// How long a removal callback waits for a cancelled transfer to come back before it gives up and
// leaves the handle open (the removal is then vetoed rather than a handle closed under a transfer).
constexpr auto kTransferRundownLimit = std::chrono::seconds(5);

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
    {
        std::lock_guard lock(m_ioMutex);
        m_cancelled = false;
    }
    const std::wstring path = link + L"\\Control";
    HANDLE handle = driver::Devices().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
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
        m_handle = handle;
    }
    WatchRemoval();
    return true;
}

void CDriver::Close()
{
    std::lock_guard lock(m_ioMutex);
    HANDLE handle = m_handle.exchange(INVALID_HANDLE_VALUE);
    if (handle != INVALID_HANDLE_VALUE)
    {
        platform::Api().CancelIoEx(handle, nullptr);
        platform::Api().CloseHandle(handle);
    }
}

void CDriver::Cancel()
{
    {
        std::lock_guard lock(m_ioMutex);
        m_cancelled = true;
        HANDLE handle = m_handle.load();
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
    if (m_cancelled.load())
    {
        return false;
    }
    HANDLE handle = m_handle.load();
    if (handle == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    platform::Api().ResetEvent(m_completion.Handle());
    OVERLAPPED overlapped{};
    overlapped.hEvent = m_completion.Handle();
    const BOOL started = write ? platform::Api().WriteFile(handle, buffer, size, nullptr, &overlapped)
                               : platform::Api().ReadFile(handle, buffer, size, nullptr, &overlapped);
    if (!started)
    {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
        {
            m_transferError = error;
            return false;
        }
        // A Cancel that came between the check above and the start of this request found nothing to
        // cancel; without this the request would wait for the device however long that takes.
        if (m_cancelled.load())
        {
            platform::Api().CancelIoEx(handle, &overlapped);
        }
    }
    platform::Api().WaitForSingleObject(m_completion.Handle(), INFINITE);
    DWORD transferred = 0;
    const BOOL completed = platform::Api().GetOverlappedResult(handle, &overlapped, &transferred, TRUE);
    if (!completed)
    {
        m_transferError = GetLastError();
    }
    return !m_cancelled.load() && completed && transferred == size;
}

bool CDriver::TransferFoundDeviceGone() const noexcept
{
    switch (m_transferError)
    {
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case 433: // ERROR_NO_SUCH_DEVICE, which MinGW does not define
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return true;
    default:
        return false;
    }
}

void CDriver::WatchRemoval()
{
    UnregisterRemoval();
    SetRemovalState(RemovalState::Watching);
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter);
    filter.Flags = 0;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE;
    filter.u.DeviceHandle.hTarget = m_handle.load();
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

CDriver::RemovalState CDriver::WaitWhileQueryRemove()
{
    std::unique_lock lock(m_removalMutex);
    m_removalCondition.wait(lock, [this] { return m_removalState != RemovalState::QueryRemove; });
    return m_removalState;
}

DWORD CALLBACK CDriver::HandleNotification(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                           PCM_NOTIFY_EVENT_DATA, DWORD)
{
    if (context != nullptr)
    {
        CatchAtBoundary([&] { static_cast<CDriver*>(context)->OnHandleNotification(action); },
                        [](const std::exception* error)
                        {
                            VLOG(velmar::LogSeverity::Error) << L"Device handle notification failed: "
                                                             << (error ? error->what() : "unknown");
                        });
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
        HANDLE handle = m_handle.load();
        if (handle != INVALID_HANDLE_VALUE)
        {
            platform::Api().CancelIoEx(handle, nullptr);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + kTransferRundownLimit;
    while (m_transfersInFlight.load() != 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            VLOG(velmar::LogSeverity::Error)
                << L"A cancelled transfer did not come back; the device stays open";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The cancel flag is set, so a transfer that starts from here on returns before it reads the handle.
    Close();
}

void CDriver::UnregisterRemoval() noexcept
{
    m_removalNotification.reset();
}
