#include "FakeConfigManager.h"
#include "LogCapture.h"
#include "PipeDevice.h"
#include "driver/Driver.h"
#include "platform/SystemApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <thread>

namespace
{

using State = CDriver::RemovalState;
using namespace std::chrono_literals;

const std::wstring kLink = L"\\\\?\\ROOT#MEDIA#0000#{19e108d8-935a-460c-9f52-cdc7c63292e1}";
constexpr DWORD kBlock = 1920;
// Generous: only a transfer that never ends fails this.
constexpr auto kPatience = 20s;

std::vector<std::uint8_t> Pattern(DWORD size, std::uint8_t seed)
{
    std::vector<std::uint8_t> block(size);
    std::iota(block.begin(), block.end(), seed);
    return block;
}

// Counts reads and tells when one has been started; can cancel the channel right before starting it.
struct ReadHook
{
    static inline std::atomic<int> calls{0};
    static inline HANDLE issued = nullptr;
    static inline CDriver* cancelFirst = nullptr;
    static inline LPOVERLAPPED overlapped = nullptr;
    static inline HANDLE file = nullptr;

    static BOOL WINAPI Read(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
    {
        ++calls;
        ReadHook::file = file;
        ReadHook::overlapped = overlapped;
        if (cancelFirst != nullptr)
        {
            cancelFirst->Cancel();
        }
        const BOOL started = ::ReadFile(file, buffer, size, read, overlapped);
        const DWORD error = GetLastError();
        SetEvent(issued);
        SetLastError(error);
        return started;
    }
};

class DriverTest : public testing::Test
{
protected:
    DriverTest() : m_read(platform::Api().ReadFile, &ReadHook::Read)
    {
        ReadHook::calls = 0;
        ReadHook::cancelFirst = nullptr;
        ReadHook::issued = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~DriverTest() override { CloseHandle(ReadHook::issued); }

    bool OpenAndAccept(CDriver& driver)
    {
        if (!driver.Open(kLink))
        {
            return false;
        }
        return device.Accept();
    }

    std::future<bool> ReadAsync(CDriver& driver, std::vector<std::uint8_t>& buffer)
    {
        return std::async(
            std::launch::async,
            [&] { return driver.Transfer(false, buffer.data(), static_cast<DWORD>(buffer.size())); });
    }

    bool WaitForReadStarted() { return WaitForSingleObject(ReadHook::issued, 20000) == WAIT_OBJECT_0; }

    // A transfer that did not end is ended by data from the device, so that the test fails cleanly.
    bool Ends(std::future<bool>& transfer)
    {
        if (transfer.wait_for(kPatience) == std::future_status::ready)
        {
            return true;
        }
        device.Write(Pattern(kBlock, 0));
        transfer.wait();
        return false;
    }

    CLogCapture& log = CLogCapture::Fresh();
    CFakeConfigManager cm;
    CPipeDevice device{kLink};

private:
    CApiOverride<decltype(platform::SystemApi::ReadFile)> m_read;
};

TEST_F(DriverTest, OpenAsksForTheControlPathAndWatchesTheHandle)
{
    CDriver driver;
    EXPECT_EQ(driver.GetRemovalState(), State::None);
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_EQ(device.openedPath, kLink + L"\\Control");
    EXPECT_EQ(device.openedAccess, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(device.openedShare, 0u);
    EXPECT_EQ(device.openedDisposition, static_cast<DWORD>(OPEN_EXISTING));
    // Identification only: a pipe posing as the device cannot impersonate the service.
    EXPECT_EQ(device.openedFlags,
              static_cast<DWORD>(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    EXPECT_TRUE(driver.IsOpen());
    EXPECT_EQ(driver.GetRemovalState(), State::Watching);

    ASSERT_EQ(cm.ActiveCount(), 1u);
    const auto& filter = cm.Last().filter;
    EXPECT_EQ(filter.cbSize, sizeof(CM_NOTIFY_FILTER));
    EXPECT_EQ(filter.FilterType, CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE);
    EXPECT_EQ(filter.u.DeviceHandle.hTarget, device.openedHandle);
    EXPECT_EQ(cm.Last().context, &driver);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(DriverTest, WriteAndReadWholeBlocksThroughThePipe)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));

    auto out = Pattern(kBlock, 7);
    ASSERT_TRUE(driver.Transfer(true, out.data(), kBlock));
    EXPECT_EQ(device.Read(kBlock), out);

    const auto in = Pattern(kBlock, 99);
    ASSERT_TRUE(device.Write(in));
    std::vector<std::uint8_t> buffer(kBlock);
    ASSERT_TRUE(driver.Transfer(false, buffer.data(), kBlock));
    EXPECT_EQ(buffer, in);
}

TEST_F(DriverTest, AShortReadIsAFailure)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    ASSERT_TRUE(device.Write(Pattern(kBlock / 2, 1)));
    std::vector<std::uint8_t> buffer(kBlock);
    EXPECT_FALSE(driver.Transfer(false, buffer.data(), kBlock));
}

TEST_F(DriverTest, FailedOpenLeavesTheChannelClosed)
{
    device.failOpen = true;
    CDriver driver;
    EXPECT_FALSE(driver.Open(kLink));
    EXPECT_FALSE(driver.IsOpen());
    EXPECT_EQ(driver.GetRemovalState(), State::None);
    EXPECT_EQ(cm.RegistrationCount(), 0u);
    std::vector<std::uint8_t> buffer(kBlock);
    EXPECT_FALSE(driver.Transfer(false, buffer.data(), kBlock));
    EXPECT_EQ(ReadHook::calls.load(), 0);
}

TEST_F(DriverTest, CancelEndsAPendingReadAndEveryTransferUntilTheNextOpen)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    std::vector<std::uint8_t> buffer(kBlock);
    auto transfer = ReadAsync(driver, buffer);
    ASSERT_TRUE(WaitForReadStarted());
    driver.Cancel();
    ASSERT_TRUE(Ends(transfer));
    EXPECT_FALSE(transfer.get());
    EXPECT_TRUE(driver.IsCancelled());

    // Data is there, but the channel stays cancelled; the read is not even started.
    ASSERT_TRUE(device.Write(Pattern(kBlock, 3)));
    EXPECT_FALSE(driver.Transfer(false, buffer.data(), kBlock));
    EXPECT_EQ(ReadHook::calls.load(), 1);

    device.Listen();
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_FALSE(driver.IsCancelled());
    const auto in = Pattern(kBlock, 5);
    ASSERT_TRUE(device.Write(in));
    ASSERT_TRUE(driver.Transfer(false, buffer.data(), kBlock));
    EXPECT_EQ(buffer, in);
}

TEST_F(DriverTest, ACancelJustBeforeTheReadStartsStillEndsIt)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    ReadHook::cancelFirst = &driver;
    std::vector<std::uint8_t> buffer(kBlock);
    auto transfer = ReadAsync(driver, buffer);
    EXPECT_TRUE(Ends(transfer));
    EXPECT_FALSE(transfer.get());
}

TEST_F(DriverTest,
       QueryRemoveCancelsAPendingReadClosesBeforeReturningAndAVetoLeavesQueryRemoveFailedUntilOpen)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    auto& registration = cm.Last();
    std::vector<std::uint8_t> buffer(kBlock);
    auto transfer = ReadAsync(driver, buffer);
    ASSERT_TRUE(WaitForReadStarted());

    // Delivered from a thread of the configuration manager's own.
    DWORD result = 1;
    std::thread([&] { result = cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE); }).join();
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(Ends(transfer));
    EXPECT_FALSE(transfer.get());
    EXPECT_TRUE(driver.IsCancelled());
    EXPECT_EQ(driver.GetRemovalState(), State::QueryRemove);
    // The system vetoes a removal when a handle is open after the callbacks: it is closed already.
    EXPECT_FALSE(driver.IsOpen());

    // The owner sees the failed transfer and waits for the outcome.
    driver.Close();
    auto outcome = std::async(std::launch::async, [&] { return driver.WaitWhileQueryRemove(); });
    EXPECT_EQ(outcome.wait_for(100ms), std::future_status::timeout);
    std::thread([&] { result = cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED); }).join();
    ASSERT_EQ(outcome.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(outcome.get(), State::QueryRemoveFailed);
    EXPECT_EQ(result, static_cast<DWORD>(ERROR_SUCCESS));

    // Unknown actions change nothing.
    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICECUSTOMEVENT);
    EXPECT_EQ(driver.GetRemovalState(), State::QueryRemoveFailed);

    device.Listen();
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_EQ(driver.GetRemovalState(), State::Watching);
    EXPECT_FALSE(driver.IsCancelled());
    EXPECT_FALSE(registration.active);
    EXPECT_EQ(cm.ActiveCount(), 1u);
}

TEST_F(DriverTest, RemovePendingAndRemoveCompleteMeanRemovedAndLetGoOfTheDevice)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_EQ(cm.Deliver(cm.Last(), CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(driver.GetRemovalState(), State::Removed);
    EXPECT_EQ(driver.WaitWhileQueryRemove(), State::Removed);
    // A surprise-removed device: the owner stops streaming instead of retrying failing transfers.
    EXPECT_TRUE(driver.IsCancelled());
    EXPECT_FALSE(driver.IsOpen());

    device.Listen();
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_EQ(driver.GetRemovalState(), State::Watching);
    cm.Deliver(cm.Last(), CM_NOTIFY_ACTION_DEVICEREMOVEPENDING);
    EXPECT_EQ(driver.GetRemovalState(), State::Removed);
}

TEST_F(DriverTest, WithoutRemovalTrackingTheChannelStillWorks)
{
    cm.registerResult = CR_FAILURE;
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"CM_Register_Notification failed, error 19"}));
    EXPECT_EQ(driver.GetRemovalState(), State::Watching);
    auto out = Pattern(kBlock, 11);
    ASSERT_TRUE(driver.Transfer(true, out.data(), kBlock));
    EXPECT_EQ(device.Read(kBlock), out);
}

TEST_F(DriverTest, DestructionClosesTheHandleAndUnregisters)
{
    {
        CDriver driver;
        ASSERT_TRUE(OpenAndAccept(driver));
        ASSERT_EQ(cm.ActiveCount(), 1u);
    }
    EXPECT_EQ(cm.ActiveCount(), 0u);
    EXPECT_TRUE(device.Read(kBlock).empty());
    EXPECT_EQ(device.lastError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// A device that ignores a cancel of everything on the handle, and notes whether the handle was closed
// before the transfer took its result.
struct CloseHook
{
    static inline std::atomic<bool> resultTaken{false};
    static inline std::atomic<bool> closedUnderTransfer{false};

    static BOOL WINAPI CancelAll(HANDLE file, LPOVERLAPPED overlapped)
    {
        return overlapped == nullptr ? TRUE : ::CancelIoEx(file, overlapped);
    }
    static BOOL WINAPI Result(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait)
    {
        if (file == ReadHook::file)
        {
            resultTaken = true;
        }
        return ::GetOverlappedResult(file, overlapped, transferred, wait);
    }
    static BOOL WINAPI Close(HANDLE handle)
    {
        if (handle == ReadHook::file && !resultTaken)
        {
            closedUnderTransfer = true;
        }
        return ::CloseHandle(handle);
    }
};

TEST_F(DriverTest, CloseFromAnotherThreadWaitsForTheRunningTransferBeforeClosingTheHandle)
{
    CApiOverride<decltype(platform::SystemApi::CancelIoEx)> cancel(platform::Api().CancelIoEx,
                                                                   &CloseHook::CancelAll);
    CApiOverride<decltype(platform::SystemApi::GetOverlappedResult)> result(
        platform::Api().GetOverlappedResult, &CloseHook::Result);
    CApiOverride<decltype(platform::SystemApi::CloseHandle)> close(platform::Api().CloseHandle,
                                                                   &CloseHook::Close);
    CloseHook::resultTaken = false;
    CloseHook::closedUnderTransfer = false;
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    std::vector<std::uint8_t> buffer(kBlock);
    auto transfer = ReadAsync(driver, buffer);
    ASSERT_TRUE(WaitForReadStarted());

    // The device holds the read back until the transfer's own limit cancels it.
    EXPECT_TRUE(driver.Close());
    ASSERT_TRUE(Ends(transfer));
    EXPECT_FALSE(transfer.get());
    EXPECT_FALSE(CloseHook::closedUnderTransfer.load());
    EXPECT_FALSE(driver.IsOpen());
    EXPECT_TRUE(device.Read(kBlock).empty());
}

TEST_F(DriverTest, AReadHeldBackIsCancelledAsAStallAndTheNextBlockArrivesWhole)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    const std::vector<std::uint8_t> untouched(kBlock, 0xAA);
    std::vector<std::uint8_t> buffer = untouched;
    for (std::uint32_t stall = 1; stall <= 2; ++stall)
    {
        auto transfer = ReadAsync(driver, buffer);
        ASSERT_TRUE(Ends(transfer)) << "stall " << stall;
        EXPECT_FALSE(transfer.get());
        EXPECT_TRUE(driver.TransferStalled());
        EXPECT_EQ(driver.StallsInARow(), stall);
    }
    EXPECT_EQ(buffer, untouched);

    // The cancelled requests took nothing: the device's next block reaches the next read whole.
    const auto in = Pattern(kBlock, 42);
    ASSERT_TRUE(device.Write(in));
    ASSERT_TRUE(driver.Transfer(false, buffer.data(), kBlock));
    EXPECT_EQ(buffer, in);
    EXPECT_FALSE(driver.TransferStalled());
    EXPECT_EQ(driver.StallsInARow(), 0u);
    EXPECT_EQ(driver.Stalls(), 2u);
}

TEST_F(DriverTest, ARequestThatNeverComesBackParksItsBlockAndNeverWritesTheCallersBuffer)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    const std::uint32_t parked = CDriver::ParkedBlocks();
    const std::vector<std::uint8_t> untouched(kBlock, 0xAA);
    std::vector<std::uint8_t> buffer = untouched;
    {
        // A driver that ignores the cancel.
        CApiOverride<decltype(platform::SystemApi::CancelIoEx)> deaf(
            platform::Api().CancelIoEx, [](HANDLE, LPOVERLAPPED) -> BOOL { return TRUE; });
        // On this thread: the system cancels the requests of a thread that ends.
        EXPECT_FALSE(driver.Transfer(false, buffer.data(), kBlock));
        EXPECT_TRUE(driver.TransferStalled());
        EXPECT_EQ(CDriver::ParkedBlocks(), parked + 1);

        // The request is still pending: the device's next block completes it, into the parked block.
        ASSERT_TRUE(device.Write(Pattern(kBlock, 1)));
        ASSERT_EQ(WaitForSingleObject(ReadHook::overlapped->hEvent, 20000), WAIT_OBJECT_0);
        EXPECT_EQ(ReadHook::overlapped->InternalHigh, kBlock);
        EXPECT_EQ(buffer, untouched);
    }
    device.Listen();
    ASSERT_TRUE(OpenAndAccept(driver));
    const auto in = Pattern(kBlock, 9);
    ASSERT_TRUE(device.Write(in));
    ASSERT_TRUE(driver.Transfer(false, buffer.data(), kBlock));
    EXPECT_EQ(buffer, in);
}

TEST_F(DriverTest, TheWaitForARemovalOutcomeEndsAtItsLimitOrAtAStopAndTellsWhich)
{
    using Outcome = CDriver::RemovalOutcome;
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    auto& registration = cm.Last();
    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
    std::atomic<bool> stop{false};
    EXPECT_EQ(driver.AwaitRemovalOutcome(stop, 50ms), Outcome::NoOutcome);
    EXPECT_EQ(driver.WaitWhileQueryRemove(50ms), State::QueryRemove);

    // A stop (which cancels the channel) ends the wait as a stop, not as a vetoed removal.
    auto waiting = std::async(std::launch::async, [&] { return driver.AwaitRemovalOutcome(stop, 1h); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    stop = true;
    driver.Cancel();
    ASSERT_EQ(waiting.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(waiting.get(), Outcome::Stopped);

    // An outcome that is there is told even to a stopping owner.
    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED);
    EXPECT_EQ(driver.AwaitRemovalOutcome(stop, 1h), Outcome::Vetoed);
    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(driver.AwaitRemovalOutcome(stop, 1h), Outcome::Removed);
}

TEST_F(DriverTest, ARunOfFailedTransfersPausesUntilTheChannelIsCancelled)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    std::vector<std::uint8_t> buffer(kBlock);
    const auto pause = [&] { return std::async(std::launch::async, [&] { driver.PauseAfterFailures(1h); }); };
    {
        CApiOverride<decltype(platform::SystemApi::WriteFile)> failing(
            platform::Api().WriteFile,
            [](HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL
            {
                SetLastError(ERROR_GEN_FAILURE);
                return FALSE;
            });
        for (std::uint32_t failure = 1; failure < CDriver::kFailuresBeforePause; ++failure)
        {
            EXPECT_FALSE(driver.Transfer(true, buffer.data(), kBlock));
            auto early = pause();
            EXPECT_EQ(early.wait_for(kPatience), std::future_status::ready) << "failure " << failure;
        }
        EXPECT_FALSE(driver.Transfer(true, buffer.data(), kBlock));
        EXPECT_FALSE(driver.TransferFoundDeviceGone());
        EXPECT_EQ(driver.FailuresInARow(), CDriver::kFailuresBeforePause);
    }
    auto paused = pause();
    EXPECT_EQ(paused.wait_for(100ms), std::future_status::timeout);
    driver.Cancel();
    EXPECT_EQ(paused.wait_for(kPatience), std::future_status::ready);

    device.Listen();
    ASSERT_TRUE(OpenAndAccept(driver));
    EXPECT_EQ(driver.FailuresInARow(), 0u);
}

// Reopening while a query-remove arrives: one still delivered on the previous handle's registration
// must neither close the new handle nor be overwritten, and no registration is ever made for a closed
// handle; one on the new registration as soon as it is made leaves the open unsuccessful.
TEST_F(DriverTest, AQueryRemoveWhileReopeningIsNeverLostNorWatchedOnAClosedHandle)
{
    CDriver driver;
    ASSERT_TRUE(OpenAndAccept(driver));
    const auto queryRemove = [&](CFakeConfigManager::Registration& registration)
    { cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE); };

    device.Listen();
    cm.onUnregistering = queryRemove;
    const bool reopened = OpenAndAccept(driver);
    EXPECT_FALSE(cm.onUnregistering) << "the previous registration was never dropped";
    if (reopened)
    {
        EXPECT_TRUE(driver.IsOpen());
        EXPECT_FALSE(driver.IsCancelled());
        EXPECT_EQ(driver.GetRemovalState(), State::Watching);
    }
    else
    {
        EXPECT_EQ(driver.GetRemovalState(), State::QueryRemove);
    }

    device.Listen();
    cm.onRegistered = queryRemove;
    EXPECT_FALSE(driver.Open(kLink));
    EXPECT_FALSE(driver.IsOpen());
    EXPECT_EQ(driver.GetRemovalState(), State::QueryRemove);

    for (std::size_t i = 0; i < cm.RegistrationCount(); ++i)
    {
        EXPECT_NE(cm.At(i).filter.u.DeviceHandle.hTarget, INVALID_HANDLE_VALUE) << "registration " << i;
    }
}

// Cancels and query-removes from other threads while the owner keeps transferring and reopening:
// every transfer ends and nothing is left registered.
TEST_F(DriverTest, CancelsFromOtherThreadsNeverLeaveATransferHanging)
{
    CDriver driver;
    std::vector<std::uint8_t> buffer(kBlock);
    for (int round = 0; round < 30; ++round)
    {
        device.Listen();
        ASSERT_TRUE(OpenAndAccept(driver));
        auto& registration = cm.Last();
        auto transfer = ReadAsync(driver, buffer);
        std::thread canceller(
            [&]
            {
                if (round % 2 == 0)
                {
                    driver.Cancel();
                }
                else
                {
                    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
                }
            });
        canceller.join();
        ASSERT_TRUE(Ends(transfer)) << "round " << round;
        EXPECT_FALSE(transfer.get());
        driver.Close();
    }
    EXPECT_EQ(cm.ActiveCount(), 1u);
}

} // namespace
