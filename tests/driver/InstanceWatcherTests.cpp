#include "FakeConfigManager.h"
#include "LogCapture.h"
#include "driver/InstanceWatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <chrono>
#include <map>
#include <random>
#include <thread>

namespace
{

constexpr GUID kClass{0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};
const std::wstring kLinkA = L"\\\\?\\ROOT#MEDIA#0000#{19e108d8-935a-460c-9f52-cdc7c63292e1}";
const std::wstring kLinkB =
    L"\\\\?\\ROOT#MEDIA#0001#{19e108d8-935a-460c-9f52-cdc7c63292e1}\\with-a-longer-reference";
const std::wstring kLinkC = L"\\\\?\\X#{1}";

// Records what the watcher tells its owner: A arrival, R removing, D removed.
class CRecordingWatcher : public CInstanceWatcher
{
public:
    explicit CRecordingWatcher(bool stopOnDestruction = true) : m_stopOnDestruction(stopOnDestruction)
    {
        SetInterfaceClass(kClass);
    }
    ~CRecordingWatcher() override
    {
        if (m_stopOnDestruction)
        {
            Stop();
        }
    }

    void OnArrival(const wchar_t* link) override { Record(L'A', link); }
    void OnRemoving(const wchar_t* link) override { Record(L'R', link); }
    void OnRemoved(const wchar_t* link) override { Record(L'D', link); }

    std::vector<std::wstring> Events() const
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    // Per link, the letters in the order they came.
    std::map<std::wstring, std::wstring> History() const
    {
        std::lock_guard lock(m_mutex);
        return m_history;
    }

private:
    void Record(wchar_t what, const wchar_t* link)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::wstring(1, what) + L" " + link);
        m_history[link].push_back(what);
    }

    bool m_stopOnDestruction;
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_events;
    std::map<std::wstring, std::wstring> m_history;
};

std::wstring Event(wchar_t what, const std::wstring& link)
{
    return std::wstring(1, what) + L" " + link;
}

class InstanceWatcherTest : public testing::Test
{
protected:
    CLogCapture& log = CLogCapture::Fresh();
    CFakeConfigManager cm;
};

TEST_F(InstanceWatcherTest, StartRegistersForTheClassAndReportsEveryPresentInterfaceOnce)
{
    cm.SetInterfaces({kLinkA, kLinkB, kLinkC});
    CRecordingWatcher watcher;
    ASSERT_TRUE(watcher.Start());

    ASSERT_EQ(cm.RegistrationCount(), 1u);
    const auto& filter = cm.At(0).filter;
    EXPECT_EQ(filter.cbSize, sizeof(CM_NOTIFY_FILTER));
    EXPECT_EQ(filter.Flags, 0u);
    EXPECT_EQ(filter.FilterType, CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE);
    EXPECT_TRUE(IsEqualGUID(filter.u.DeviceInterface.ClassGuid, kClass));
    EXPECT_EQ(cm.At(0).context, &watcher);
    EXPECT_TRUE(IsEqualGUID(cm.sizeClass, kClass));
    EXPECT_EQ(cm.sizeFlags, static_cast<ULONG>(CM_GET_DEVICE_INTERFACE_LIST_PRESENT));
    EXPECT_EQ(cm.listFlags, static_cast<ULONG>(CM_GET_DEVICE_INTERFACE_LIST_PRESENT));

    // Links of different lengths, each found whole.
    EXPECT_EQ(watcher.Events(),
              (std::vector<std::wstring>{Event(L'A', kLinkA), Event(L'A', kLinkB), Event(L'A', kLinkC)}));
    EXPECT_EQ(watcher.Links(), (std::vector<std::wstring>{kLinkA, kLinkB, kLinkC}));

    // Present at start and reported again: still one arrival.
    EXPECT_EQ(cm.Deliver(cm.At(0), CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkB), ERROR_SUCCESS);
    watcher.Drain();
    EXPECT_EQ(watcher.Events().size(), 3u);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(InstanceWatcherTest, CallbackAddsRemovesAndIgnoresOtherActions)
{
    cm.SetInterfaces({kLinkA});
    CRecordingWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    auto& registration = cm.At(0);

    EXPECT_EQ(cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, kLinkB), ERROR_SUCCESS);
    watcher.Drain();
    EXPECT_EQ(watcher.Events().size(), 1u);

    EXPECT_EQ(cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkB), ERROR_SUCCESS);
    EXPECT_EQ(cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, kLinkA), ERROR_SUCCESS);
    EXPECT_EQ(cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED, kLinkA), ERROR_SUCCESS);
    EXPECT_EQ(cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, kLinkA), ERROR_SUCCESS);
    watcher.Drain();

    EXPECT_EQ(watcher.Events(), (std::vector<std::wstring>{Event(L'A', kLinkA), Event(L'A', kLinkB),
                                                           Event(L'R', kLinkA), Event(L'D', kLinkA)}));
    EXPECT_EQ(watcher.Links(), (std::vector<std::wstring>{kLinkB}));
}

// A callback only hands the notification on: the owner's work (storage, registry, threads) runs on
// the watcher's thread, and the callback returns while the owner is still busy.
TEST_F(InstanceWatcherTest, CallbacksReturnBeforeTheOwnerIsToldOnAnotherThread)
{
    class CBlockedOwner : public CRecordingWatcher
    {
    public:
        void OnArrival(const wchar_t* link) override
        {
            thread = GetCurrentThreadId();
            WaitForSingleObject(release, 20000);
            CRecordingWatcher::OnArrival(link);
        }
        ~CBlockedOwner() override
        {
            Stop();
            CloseHandle(release);
        }
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<DWORD> thread{0};
    };
    cm.SetInterfaces({});
    CBlockedOwner watcher;
    watcher.Start();
    cm.Deliver(cm.At(0), CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkA);
    // Reached only once the callback has returned; the owner is still held.
    EXPECT_TRUE(watcher.Events().empty());
    SetEvent(watcher.release);
    watcher.Drain();
    EXPECT_EQ(watcher.Events(), (std::vector<std::wstring>{Event(L'A', kLinkA)}));
    EXPECT_NE(watcher.thread.load(), GetCurrentThreadId());
}

// The system writes the same link in one case in its list and in another in its notifications: one
// interface, reported to the owner as it was first seen.
TEST_F(InstanceWatcherTest, LinksThatDifferOnlyInLetterCaseAreOneInterface)
{
    std::wstring lowerA = kLinkA;
    std::transform(lowerA.begin(), lowerA.end(), lowerA.begin(), [](wchar_t c) { return towlower(c); });
    cm.SetInterfaces({kLinkA});
    CRecordingWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    auto& registration = cm.At(0);

    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, lowerA);
    cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, lowerA);
    watcher.Drain();
    EXPECT_EQ(watcher.Events(),
              (std::vector<std::wstring>{Event(L'A', kLinkA), Event(L'R', kLinkA), Event(L'D', kLinkA)}));
    EXPECT_TRUE(watcher.Links().empty());
}

TEST_F(InstanceWatcherTest, StopReportsRemovingInOrderThenRemovedLastFirstAndOnlyOnce)
{
    cm.SetInterfaces({kLinkA, kLinkB});
    CRecordingWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    cm.Deliver(cm.At(0), CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkC);
    watcher.Drain();

    watcher.Stop();
    EXPECT_EQ(cm.ActiveCount(), 0u);
    const std::vector<std::wstring> expected{Event(L'A', kLinkA), Event(L'A', kLinkB), Event(L'A', kLinkC),
                                             Event(L'R', kLinkA), Event(L'R', kLinkB), Event(L'R', kLinkC),
                                             Event(L'D', kLinkC), Event(L'D', kLinkB), Event(L'D', kLinkA)};
    EXPECT_EQ(watcher.Events(), expected);
    EXPECT_TRUE(watcher.Links().empty());

    watcher.Stop();
    EXPECT_EQ(watcher.Events(), expected);
    EXPECT_EQ(cm.UnregisterCalls(), 1);

    // A notification that still comes in after Stop is not taken up.
    cm.DeliverRaw(cm.At(0), CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkA);
    watcher.Drain();
    EXPECT_EQ(watcher.Events(), expected);
}

TEST_F(InstanceWatcherTest, RegistrationFailureIsLoggedInDecimal)
{
    cm.registerResult = CR_CALL_NOT_IMPLEMENTED;
    cm.SetInterfaces({kLinkA});
    CRecordingWatcher watcher;
    EXPECT_FALSE(watcher.Start());
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"CM_Register_Notification failed, error 52"}));
    EXPECT_EQ(cm.sizeCalls, 0);
    EXPECT_TRUE(watcher.Events().empty());
}

// Configuration-manager calls report their own result; the thread's last error is not theirs.
TEST_F(InstanceWatcherTest, SizeFailureLogsItsResultAndUnregisters)
{
    cm.sizeResult = CR_FAILURE;
    cm.sizeLastError = 13;
    CRecordingWatcher watcher;
    EXPECT_FALSE(watcher.Start());
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"CM_Get_Device_Interface_List_Size failed, error 19"}));
    EXPECT_EQ(cm.ActiveCount(), 0u);
    EXPECT_EQ(cm.listCalls, 0);
}

TEST_F(InstanceWatcherTest, NoInterfaceFailsButStaysRegisteredUntilStop)
{
    cm.SetInterfaces({});
    CRecordingWatcher watcher;
    EXPECT_FALSE(watcher.Start());
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"CM_Get_Device_Interface_List_Size : None found"}));
    EXPECT_EQ(cm.listCalls, 0);
    EXPECT_EQ(cm.ActiveCount(), 1u);

    // A device that arrives later is still followed.
    cm.Deliver(cm.At(0), CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkA);
    watcher.Drain();
    EXPECT_EQ(watcher.Events(), (std::vector<std::wstring>{Event(L'A', kLinkA)}));
    watcher.Stop();
    EXPECT_EQ(cm.ActiveCount(), 0u);
}

TEST_F(InstanceWatcherTest, ListFailureLogsItsResultAndUnregisters)
{
    cm.SetInterfaces({kLinkA});
    cm.listResult = CR_REGISTRY_ERROR;
    cm.listLastError = 2;
    CRecordingWatcher watcher;
    EXPECT_FALSE(watcher.Start());
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"CM_Get_Device_Interface_List failed, error 29"}));
    EXPECT_EQ(cm.listLength, kLinkA.size() + 2);
    EXPECT_EQ(cm.ActiveCount(), 0u);
    EXPECT_TRUE(watcher.Events().empty());
}

// A device that arrives between the size query and the list makes the list too small for the
// buffer: the size and the list are asked again.
TEST_F(InstanceWatcherTest, AnInterfaceArrivingBetweenSizeAndListIsListedOnTheRetry)
{
    cm.SetInterfaces({kLinkA});
    cm.afterSize = [&] { cm.SetInterfaces({kLinkA, kLinkB}); };
    CRecordingWatcher watcher;
    ASSERT_TRUE(watcher.Start());
    EXPECT_EQ(watcher.Links(), (std::vector<std::wstring>{kLinkA, kLinkB}));
    EXPECT_EQ(cm.sizeCalls, 2);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(InstanceWatcherTest, DestructionWithoutStopUnregistersWithoutCallingTheOwner)
{
    cm.SetInterfaces({kLinkA});
    std::vector<std::wstring> events;
    {
        CRecordingWatcher watcher(false);
        ASSERT_TRUE(watcher.Start());
        events = watcher.Events();
    }
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(cm.ActiveCount(), 0u);
}

// The owner is still busy with an arrival when the removal of the same link comes in: the removal
// is reported after the arrival, not in the middle of it.
TEST_F(InstanceWatcherTest, ARemovalWaitsForTheArrivalOfTheSameLinkToBeReported)
{
    class CSlowArrivalWatcher : public CRecordingWatcher
    {
    public:
        void OnArrival(const wchar_t* link) override
        {
            SetEvent(entered);
            WaitForSingleObject(release, 20000);
            CRecordingWatcher::OnArrival(link);
        }
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ~CSlowArrivalWatcher() override
        {
            Stop();
            CloseHandle(entered);
            CloseHandle(release);
        }
    };

    cm.SetInterfaces({kLinkA});
    CSlowArrivalWatcher watcher;
    SetEvent(watcher.release);
    ASSERT_TRUE(watcher.Start());
    ResetEvent(watcher.release);
    ResetEvent(watcher.entered);
    auto& registration = cm.At(0);

    std::thread arrival([&] { cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, kLinkB); });
    ASSERT_EQ(WaitForSingleObject(watcher.entered, 20000), WAIT_OBJECT_0);
    std::thread removal([&] { cm.Deliver(registration, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, kLinkB); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SetEvent(watcher.release);
    arrival.join();
    removal.join();
    watcher.Drain();
    EXPECT_EQ(watcher.History()[kLinkB], L"ARD");
}

// Arrivals and removals of many links from several threads while Stop runs: every link's history is
// arrival, removing, removed, repeated, and ends removed.
TEST_F(InstanceWatcherTest, ConcurrentNotificationsDuringStopStayPaired)
{
    constexpr int kThreads = 4;
    constexpr int kIterations = 400;
    constexpr int kLinks = 12;
    std::vector<std::wstring> links;
    for (int i = 0; i < kLinks; ++i)
    {
        links.push_back(L"\\\\?\\ROOT#MEDIA#" + std::to_wstring(1000 + i * 37) + L"#{19e108d8}");
    }
    cm.SetInterfaces({links[0], links[1]});

    for (int round = 0; round < 3; ++round)
    {
        CRecordingWatcher watcher;
        ASSERT_TRUE(watcher.Start());
        auto& registration = cm.Last();
        std::atomic<int> delivered{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
        {
            threads.emplace_back(
                [&, t]
                {
                    std::minstd_rand random(static_cast<unsigned>(t * 7919 + round));
                    for (int i = 0; i < kIterations; ++i)
                    {
                        const auto& link = links[random() % kLinks];
                        const auto action = random() % 3 == 0 ? CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL
                                                              : CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL;
                        // Raw: some arrive after the watcher has unregistered.
                        cm.DeliverRaw(registration, action, link);
                        ++delivered;
                    }
                });
        }
        while (delivered.load() < kThreads * kIterations / 2)
        {
            std::this_thread::yield();
        }
        watcher.Stop();
        for (auto& thread : threads)
        {
            thread.join();
        }
        EXPECT_TRUE(watcher.Links().empty());
        for (const auto& [link, history] : watcher.History())
        {
            ASSERT_EQ(history.size() % 3, 0u) << history;
            for (std::size_t i = 0; i < history.size(); i += 3)
            {
                ASSERT_EQ(history.substr(i, 3), L"ARD") << history;
            }
        }
    }
}

} // namespace
