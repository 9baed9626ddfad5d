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
//
// A device may also hold a request back without end. A transfer gives its request kTransferLimit, then
// cancels it. The OVERLAPPED and the block the request reads into or writes from belong to the
// channel, not to the caller, and stay alive until the cancelled request has really completed; a
// block whose request never comes back is parked for the process's life, since the system may still
// write into it.
#include "driver/DeviceHandles.h"
#include "driver/Devices.h"
#include "platform/Event.h"
#include "platform/UniqueHandle.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

    // What ended an owner's wait for the outcome of a query-remove.
    enum class RemovalOutcome
    {
        Removed,   // the device is gone
        Vetoed,    // the removal was refused (or the channel was reopened meanwhile)
        Stopped,   // the owner's stop flag, not the removal
        NoOutcome, // nothing came within the limit
    };

    // A transfer that has not completed within this time is cancelled: one second, 100 chunks of 480
    // frames.
    static constexpr std::chrono::milliseconds kTransferLimit{1000};
    // How long a cancelled request is given to come back before its storage is given up for good.
    static constexpr std::chrono::milliseconds kCancelLimit{1000};
    // How long an owner waits for the outcome of a query-remove.
    static constexpr std::chrono::milliseconds kRemovalOutcomeLimit{5000};
    // Failed transfers in a row after which PauseAfterFailures waits.
    static constexpr std::uint32_t kFailuresBeforePause = 3;

    CDriver() = default;
    // Closes the channel, then drops the removal notification.
    virtual ~CDriver();
    CDriver(const CDriver&) = delete;
    CDriver& operator=(const CDriver&) = delete;

    // Closes a previous handle and drops its removal notification, clears the cancel flag, opens
    // link + "\Control" and watches the new handle's removal. True when a handle was obtained and is
    // still open once its removal is watched.
    bool Open(const std::wstring& link);
    // Cancels whatever is pending on the handle, waits (bounded) until no transfer uses it any more and
    // closes it; may come from any thread. A transfer that does not come back within the bound keeps
    // the handle open (logged) until a later Close: a handle is never closed under a running transfer.
    // True when no handle is left open.
    bool Close();
    // Fails the pending transfer and every later one until the next Open, and wakes the threads that
    // wait on the removal condition so that they can re-check conditions of their own.
    void Cancel();
    // One overlapped write (write = true) or read of exactly size bytes, through the channel's own
    // request block (the caller's buffer is copied to or from it). A request that has not completed
    // within kTransferLimit is cancelled and the transfer fails as stalled. Only one thread may
    // transfer on a channel at a time; Cancel and Close may come from any thread (Close waits for it).
    bool Transfer(bool write, void* buffer, DWORD size);

    bool IsOpen() const noexcept { return m_transferHandle.load() != INVALID_HANDLE_VALUE; }
    bool IsCancelled() const noexcept { return m_cancelled.load(); }
    // After a failed Transfer, on the transferring thread: the request failed because the device is no
    // longer there (its channel broke without a query, as after a surprise removal or when its driver
    // stops), not because of one bad block.
    bool TransferFoundDeviceGone() const noexcept;
    // After a failed Transfer, on the transferring thread: the request was held back beyond
    // kTransferLimit and cancelled. The channel should be reopened.
    bool TransferStalled() const noexcept { return m_stalled; }
    // Stalled transfers since the last one that succeeded (1: a stall episode has just begun), and over
    // the channel's life; transferring thread.
    std::uint32_t StallsInARow() const noexcept { return m_stallsInARow; }
    std::uint64_t Stalls() const noexcept { return m_stalls; }
    // Failed transfers since the last one that succeeded or the last Open; transferring thread.
    std::uint32_t FailuresInARow() const noexcept { return m_failuresInARow; }
    // After kFailuresBeforePause failed transfers in a row, waits for `period` or until the channel is
    // cancelled (a stop or restart of the owner, a removal); otherwise returns at once.
    void PauseAfterFailures(std::chrono::microseconds period);
    // Request blocks given up on in this process because their cancelled request never came back.
    static std::uint32_t ParkedBlocks() noexcept;

    RemovalState GetRemovalState() const;
    // Blocks while the state is QueryRemove, at most `limit`, and returns the state that ended the wait
    // (still QueryRemove when the limit ended it).
    RemovalState WaitWhileQueryRemove(std::chrono::milliseconds limit = kRemovalOutcomeLimit);
    // Waits while the state is QueryRemove, until `stop` is set (Cancel wakes the wait) or `limit` has
    // passed, and tells what ended the wait.
    RemovalOutcome AwaitRemovalOutcome(const std::atomic<bool>& stop,
                                       std::chrono::milliseconds limit = kRemovalOutcomeLimit);
    // The removal mutex and condition variable, for owners that wait on them with conditions of
    // their own; every change of the state is broadcast.
    std::mutex& RemovalMutex() noexcept { return m_removalMutex; }
    std::condition_variable& RemovalCondition() noexcept { return m_removalCondition; }
    // The state as seen with RemovalMutex() held.
    RemovalState RemovalStateLocked() const noexcept { return m_removalState; }

private:
    // What one request needs for as long as the system may use it: the OVERLAPPED, its event and the
    // block the request reads into or writes from.
    struct CRequestBlock
    {
        explicit CRequestBlock(std::size_t size) : data(size) {}
        OVERLAPPED overlapped{};
        CEvent completion;
        std::vector<std::uint8_t> data;
    };

    static DWORD CALLBACK HandleNotification(HCMNOTIFICATION notification, PVOID context,
                                             CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA eventData,
                                             DWORD eventDataSize);
    void OnHandleNotification(CM_NOTIFY_ACTION action);
    void SetRemovalState(RemovalState state);
    // Sets the state Watching, then registers the removal notification for `handle`.
    void RegisterRemoval(HANDLE handle);
    // Sets the cancel flag, then closes. Used by the removal callbacks so that the device is free when
    // they return.
    void ReleaseForRemoval();
    void UnregisterRemoval() noexcept;
    // A request block of at least `size` bytes; false when none can be had.
    bool ReserveBlock(std::size_t size) noexcept;
    // Gives up the request block whose cancelled request never came back: never freed nor reused.
    void ParkBlock() noexcept;
    // Ends a failed transfer: counts it, false.
    bool Failed() noexcept;

    std::mutex m_ioMutex;
    // The owner of the device handle (I/O mutex), and the copy transfers read without the mutex:
    // INVALID_HANDLE_VALUE from the moment a Close begins, so that no transfer starts on a handle
    // that is about to be closed.
    platform::UniqueFile m_file;
    std::atomic<HANDLE> m_transferHandle{INVALID_HANDLE_VALUE};
    // Read by Transfer without the I/O mutex, hence atomic.
    std::atomic<bool> m_cancelled{false};
    // Transfers between their first look at the handle and their last use of it.
    std::atomic<int> m_transfersInFlight{0};
    // The rest up to the removal mutex belongs to the transferring thread (Open runs there too).
    std::unique_ptr<CRequestBlock> m_block;
    std::size_t m_blockSize = 0;
    // The system error of the last failed transfer, 0 for a cancel, a stall or a short count.
    DWORD m_transferError = 0;
    bool m_stalled = false;
    std::uint32_t m_stallsInARow = 0;
    std::uint64_t m_stalls = 0;
    std::uint32_t m_failuresInARow = 0;
    mutable std::mutex m_removalMutex;
    std::condition_variable m_removalCondition;
    RemovalState m_removalState = RemovalState::None;
    driver::UniqueNotification m_removalNotification;
};
