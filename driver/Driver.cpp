#include "driver/Driver.h"

#include "diagnostics/Log.h"
#include "platform/SystemApi.h"

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
    std::lock_guard lock(m_ioMutex);
    m_cancelled = true;
    HANDLE handle = m_handle.load();
    if (handle != INVALID_HANDLE_VALUE)
    {
        platform::Api().CancelIoEx(handle, nullptr);
    }
}

bool CDriver::Transfer(bool write, void* buffer, DWORD size)
{
    HANDLE handle = m_handle.load();
    if (handle == INVALID_HANDLE_VALUE || m_cancelled.load())
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
        if (GetLastError() != ERROR_IO_PENDING)
        {
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
    return !m_cancelled.load() && completed && transferred == size;
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
        &filter, this, &HandleNotification, &m_removalNotification);
    if (registered != CR_SUCCESS)
    {
        m_removalNotification = nullptr;
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
        static_cast<CDriver*>(context)->OnHandleNotification(action);
    }
    // Never veto a removal.
    return ERROR_SUCCESS;
}

void CDriver::OnHandleNotification(CM_NOTIFY_ACTION action)
{
    switch (action)
    {
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVE:
    {
        SetRemovalState(RemovalState::QueryRemove);
        // The removal mutex is released before the I/O mutex is taken: never both at once.
        std::lock_guard lock(m_ioMutex);
        m_cancelled = true;
        HANDLE handle = m_handle.load();
        if (handle != INVALID_HANDLE_VALUE)
        {
            platform::Api().CancelIoEx(handle, nullptr);
        }
        break;
    }
    case CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED:
        SetRemovalState(RemovalState::QueryRemoveFailed);
        break;
    case CM_NOTIFY_ACTION_DEVICEREMOVEPENDING:
    case CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE:
        SetRemovalState(RemovalState::Removed);
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

void CDriver::UnregisterRemoval() noexcept
{
    if (m_removalNotification != nullptr)
    {
        driver::Devices().CM_Unregister_Notification(m_removalNotification);
        m_removalNotification = nullptr;
    }
}
