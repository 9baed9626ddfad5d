#pragma once
// The I/O channel of one virtual audio device: opens "<interface link>\Control", moves audio blocks
// with overlapped reads and writes, can be cancelled from other threads, and follows the device's
// removal.
//
// The system vetoes a removal when a handle to the device is still open once the query-remove
// callbacks have returned. So the channel lets go of the device inside its own callback: on
// query-remove, remove-pending and remove-complete it cancels, waits (bounded) until no transfer uses
// the handle any more, and closes it. Transfers only count themselves in and out (no lock), so the
// audio path never blocks on the callback.
#include "driver/DeviceHandles.h"
#include "driver/Devices.h"
#include "platform/Event.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class CDriver
{
public:
    enum class RemovalState : std::int32_t
    {
        None = 0,
        Watching = 1,
        QueryRemove = 2,
        QueryRemoveFailed = 3,
        Removed = 4,
    };

    CDriver() = default;
    // Closes the channel, then drops the removal notification; the event is closed last.
    virtual ~CDriver();
    CDriver(const CDriver&) = delete;
    CDriver& operator=(const CDriver&) = delete;

    // Closes a previous handle, clears the cancel flag, opens link + "\Control" and starts watching the
    // device's removal. True when a handle was obtained.
    bool Open(const std::wstring& link);
    // Cancels whatever is pending on the handle and closes it.
    void Close();
    // Fails the pending transfer and every later one until the next Open, and wakes the threads that
    // wait on the removal condition so that they can re-check conditions of their own.
    void Cancel();
    // One overlapped write (write = true) or read of exactly size bytes. Only one thread may transfer
    // on a channel at a time; Cancel and Close may come from any thread.
    bool Transfer(bool write, void* buffer, DWORD size);
    // (Re)registers the removal notification for the open handle; the state becomes Watching.
    void WatchRemoval();

    bool IsOpen() const noexcept { return m_handle.load() != INVALID_HANDLE_VALUE; }
    bool IsCancelled() const noexcept { return m_cancelled.load(); }
    // After a failed Transfer, on the transferring thread: the request failed because the device is no
    // longer there (its channel broke without a query, as after a surprise removal or when its driver
    // stops), not because of one bad block.
    bool TransferFoundDeviceGone() const noexcept;
    RemovalState GetRemovalState() const;
    // Blocks while the state is QueryRemove and returns the state that ended the wait.
    RemovalState WaitWhileQueryRemove();
    // The removal mutex and condition variable, for owners that wait on them with conditions of
    // their own; every change of the state is broadcast.
    std::mutex& RemovalMutex() noexcept { return m_removalMutex; }
    std::condition_variable& RemovalCondition() noexcept { return m_removalCondition; }
    // The state as seen with RemovalMutex() held.
    RemovalState RemovalStateLocked() const noexcept { return m_removalState; }

private:
    static DWORD CALLBACK HandleNotification(HCMNOTIFICATION notification, PVOID context,
                                             CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA eventData,
                                             DWORD eventDataSize);
    void OnHandleNotification(CM_NOTIFY_ACTION action);
    void SetRemovalState(RemovalState state);
    // Cancels, waits until no transfer is in flight, then closes the handle. Used by the removal
    // callbacks so that the device is free when they return.
    void ReleaseForRemoval();
    void UnregisterRemoval() noexcept;

    std::mutex m_ioMutex;
    std::atomic<HANDLE> m_handle{INVALID_HANDLE_VALUE};
    // Read by Transfer without the I/O mutex, hence atomic.
    std::atomic<bool> m_cancelled{false};
    // Transfers between their first look at the handle and their last use of it.
    std::atomic<int> m_transfersInFlight{0};
    // The system error of the last failed transfer, 0 for a cancel or a short count; transferring thread
    // only.
    DWORD m_transferError = 0;
    CEvent m_completion;
    mutable std::mutex m_removalMutex;
    std::condition_variable m_removalCondition;
    RemovalState m_removalState = RemovalState::None;
    driver::UniqueNotification m_removalNotification;
};
