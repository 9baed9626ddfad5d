// Interface arrival and removal, the interface list, and the removal protocol seen by a handle holder.
#include "WorldTestSupport.h"

#include "simulation/DeviceControl.h"
#include "simulation/DeviceWorld.h"
#include "simulation/WorldStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace simulation;
using namespace worldtest;

namespace
{

class NotificationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetWorld();
        WorldOptions options;
        options.removalWaitMs = 300;
        world = std::make_unique<CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
    }
    void TearDown() override { world.reset(); }

    std::unique_ptr<CDeviceWorld> world;
};

using Actions = std::vector<int>;

} // namespace

TEST_F(NotificationTest, PresentDevicesAreListedAndChangesAreDelivered)
{
    const std::wstring a = AddDevice();
    const std::wstring b = AddDevice();
    EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{Listed(a), Listed(b)}));

    CNotificationLog log;
    HCMNOTIFICATION registration = RegisterInterfaces(log);
    ASSERT_NE(registration, nullptr);
    const std::wstring c = AddDevice();
    ASSERT_TRUE(WaitUntil([&] { return log.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, Notified(c)); }));
    EXPECT_EQ(RequestRemoval(a, RemovalKind::Orderly), RemovalOutcome::Removed);
    ASSERT_TRUE(WaitUntil([&] { return log.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL, Notified(a)); }));
    // Devices present before the registration are not reported again.
    EXPECT_EQ(log.Actions(),
              (Actions{CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL}));
    EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{Listed(b), Listed(c)}));
    EXPECT_EQ(driver::Devices().CM_Unregister_Notification(registration), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(driver::Devices().CM_Unregister_Notification(registration),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
}

// Windows promises no letter case for links: the world writes the list and the notifications in the
// case its option says, by default each in another.
TEST_F(NotificationTest, LinksAreWrittenInTheWorldsLetterCase)
{
    const std::wstring canonical = L"\\\\?\\ROOT#MEDIA#0000#{19e108d8-935a-460c-9f52-cdc7c63292e1}";
    const struct
    {
        LinkCase option;
        std::wstring listed;
        std::wstring notified;
    } cases[] = {{LinkCase::Mixed, ToUpper(canonical), ToLower(canonical)},
                 {LinkCase::Upper, ToUpper(canonical), ToUpper(canonical)},
                 {LinkCase::Lower, ToLower(canonical), ToLower(canonical)}};
    for (const auto& c : cases)
    {
        world.reset();
        ResetWorld();
        WorldOptions options;
        options.linkCase = c.option;
        world = std::make_unique<CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
        CNotificationLog log;
        HCMNOTIFICATION registration = RegisterInterfaces(log);
        ASSERT_NE(registration, nullptr);
        const std::wstring id = AddDevice();
        ASSERT_EQ(id, L"ROOT\\MEDIA\\0000");
        EXPECT_EQ(PresentLinks(), (std::vector<std::wstring>{c.listed}));
        ASSERT_TRUE(WaitUntil([&] { return !log.Entries().empty(); }));
        EXPECT_EQ(log.Entries()[0].link, c.notified);
        driver::Devices().CM_Unregister_Notification(registration);
    }
    EXPECT_EQ(ParseLinkCase(L"mixed"), LinkCase::Mixed);
    EXPECT_EQ(ParseLinkCase(L"lower"), LinkCase::Lower);
    EXPECT_FALSE(ParseLinkCase(L"Upper"));
}

TEST_F(NotificationTest, InterfaceListSizesAndSmallBuffers)
{
    GUID cls = kInterfaceClass;
    ULONG length = 0;
    ASSERT_EQ(driver::Devices().CM_Get_Device_Interface_List_SizeW(&length, &cls, nullptr, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, 1u); // an empty list is its terminator alone
    const std::wstring a = AddDevice();
    AddDevice();
    ASSERT_EQ(driver::Devices().CM_Get_Device_Interface_List_SizeW(&length, &cls, nullptr, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, 2 * (LinkForInstance(a).size() + 1) + 1);
    std::vector<wchar_t> buffer(length);
    EXPECT_EQ(driver::Devices().CM_Get_Device_Interface_ListW(&cls, nullptr, buffer.data(), length - 1, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    ASSERT_EQ(driver::Devices().CM_Get_Device_Interface_ListW(&cls, nullptr, buffer.data(), length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(buffer[length - 1], L'\0');
    EXPECT_EQ(buffer[length - 2], L'\0');
    // Another class has no interfaces; one device's list holds its own link only.
    GUID other = {0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 4}};
    EXPECT_EQ(driver::Devices().CM_Get_Device_Interface_List_SizeW(&length, &other, nullptr, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, 1u);
    std::wstring deviceId = a;
    EXPECT_EQ(driver::Devices().CM_Get_Device_Interface_List_SizeW(&length, &cls, deviceId.data(), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, LinkForInstance(a).size() + 2);
}

TEST_F(NotificationTest, QueryRemoveThenRemoveCompleteWhenTheHolderCloses)
{
    const std::wstring id = AddDevice();
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    CNotificationLog interfaces;
    HCMNOTIFICATION interfaceRegistration = RegisterInterfaces(interfaces);
    CNotificationLog handle;
    handle.reply = [&](CM_NOTIFY_ACTION action)
    {
        if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE)
        {
            host.Close();
        }
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    HCMNOTIFICATION handleRegistration = RegisterHandle(handle, host.Handle());
    ASSERT_NE(handleRegistration, nullptr);

    EXPECT_EQ(RequestRemoval(id, RemovalKind::Orderly), RemovalOutcome::Removed);
    ASSERT_TRUE(WaitUntil([&] { return interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL); }));
    EXPECT_EQ(handle.Actions(),
              (Actions{CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
                       CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}));
    EXPECT_TRUE(PresentLinks().empty());
    EXPECT_EQ(OpenChannel(id), INVALID_HANDLE_VALUE);
    driver::Devices().CM_Unregister_Notification(handleRegistration);
    driver::Devices().CM_Unregister_Notification(interfaceRegistration);
}

TEST_F(NotificationTest, AVetoOrAKeptHandleFailsTheQueryAndTheDeviceStaysUsable)
{
    const std::wstring id = AddDevice();
    for (const bool veto : {true, false})
    {
        CHostChannel host(OpenChannel(id));
        ASSERT_TRUE(host.IsOpen()) << veto;
        CNotificationLog handle;
        handle.reply = [&](CM_NOTIFY_ACTION action)
        {
            return static_cast<DWORD>(veto && action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE ? ERROR_CANCELLED
                                                                                           : ERROR_SUCCESS);
        };
        HCMNOTIFICATION registration = RegisterHandle(handle, host.Handle());
        ASSERT_NE(registration, nullptr);
        EXPECT_EQ(RequestRemoval(id, RemovalKind::Orderly), RemovalOutcome::Vetoed);
        ASSERT_TRUE(WaitUntil([&] { return handle.Actions().size() == 2; }));
        EXPECT_EQ(handle.Actions(),
                  (Actions{CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED}));
        EXPECT_EQ(PresentLinks().size(), 1u);
        std::vector<int32_t> out(480, 0);
        std::vector<int32_t> in(480);
        EXPECT_TRUE(host.Cycle(out, in)) << veto;
        driver::Devices().CM_Unregister_Notification(registration);
    }
}

// Windows judges the open handles once the last query-remove callback has returned: a holder that
// closes its handle 10 ms later is too late. A grace period (for experiments) lets it through,
// counted as a late removal.
TEST_F(NotificationTest, AHandleClosedAfterTheCallbackReturnedVetoesTheRemoval)
{
    for (const DWORD grace : {0u, 200u})
    {
        world.reset();
        WorldOptions options;
        options.removalGraceMs = grace;
        world = std::make_unique<CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
        const std::wstring id = AddDevice();
        CHostChannel host(OpenChannel(id));
        ASSERT_TRUE(host.IsOpen());
        std::atomic<bool> queried{false};
        CNotificationLog handle;
        handle.reply = [&](CM_NOTIFY_ACTION action)
        {
            queried = queried || action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE;
            return static_cast<DWORD>(ERROR_SUCCESS);
        };
        HCMNOTIFICATION registration = RegisterHandle(handle, host.Handle());
        std::thread closer(
            [&]
            {
                WaitUntil([&] { return queried.load(); });
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                host.Close();
            });
        const RemovalOutcome outcome = RequestRemoval(id, RemovalKind::Orderly);
        closer.join();
        const DeviceStatistics figures = *Statistics(id);
        if (grace == 0)
        {
            EXPECT_EQ(outcome, RemovalOutcome::Vetoed);
            EXPECT_EQ(figures.vetoesOpenHandle, 1u);
            ASSERT_TRUE(WaitUntil([&] { return handle.Actions().size() == 2; }));
            EXPECT_EQ(handle.Actions().back(), CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED);
        }
        else
        {
            EXPECT_EQ(outcome, RemovalOutcome::Removed);
            EXPECT_EQ(figures.lateRemovals, 1u);
            EXPECT_EQ(figures.vetoesOpenHandle, 0u);
        }
        driver::Devices().CM_Unregister_Notification(registration);
    }
}

TEST_F(NotificationTest, TheWorldCanVetoAfterTheHolderLetGo)
{
    const std::wstring id = AddDevice();
    CHostChannel host(OpenChannel(id));
    CNotificationLog handle;
    handle.reply = [&](CM_NOTIFY_ACTION action)
    {
        if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE)
        {
            host.Close();
        }
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    HCMNOTIFICATION registration = RegisterHandle(handle, host.Handle());
    EXPECT_EQ(RequestRemoval(id, RemovalKind::WorldVeto), RemovalOutcome::Vetoed);
    EXPECT_EQ(Statistics(id)->vetoesWorld, 1u);
    EXPECT_EQ(Statistics(id)->vetoesOpenHandle, 0u);
    ASSERT_TRUE(WaitUntil([&] { return handle.Actions().size() == 2; }));
    EXPECT_EQ(handle.Actions().back(), CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED);
    CHostChannel reopened(OpenChannel(id));
    EXPECT_TRUE(reopened.IsOpen());
    driver::Devices().CM_Unregister_Notification(registration);
}

// The channel breaks at once (the pending read fails, and so does the next transfer, both counted),
// remove-complete follows, and the interface stays listed until the removal gap has passed.
TEST_F(NotificationTest, SurpriseRemovalBreaksTheChannelAtOnceAndTheInterfaceGoesAfterTheGap)
{
    world.reset();
    WorldOptions options;
    options.surpriseRemovalGapMs = 400;
    world = std::make_unique<CDeviceWorld>(options);
    ASSERT_TRUE(world->Start());
    const std::wstring id = AddDevice();
    CHostChannel host(OpenChannel(id));
    ASSERT_TRUE(host.IsOpen());
    CNotificationLog interfaces;
    HCMNOTIFICATION interfaceRegistration = RegisterInterfaces(interfaces);
    CNotificationLog handle;
    HCMNOTIFICATION handleRegistration = RegisterHandle(handle, host.Handle());
    std::vector<int32_t> in(480);
    auto read = std::async(std::launch::async,
                           [&]
                           {
                               DWORD error = 0;
                               return std::make_pair(host.Transfer(false, in.data(), 480 * 4, &error), error);
                           });
    EXPECT_EQ(read.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    const auto start = std::chrono::steady_clock::now();
    auto removal = std::async(std::launch::async, [&] { return RequestRemoval(id, RemovalKind::Surprise); });
    const auto [bytes, error] = read.get();
    EXPECT_EQ(bytes, -1);
    EXPECT_TRUE(error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE) << error;
    EXPECT_EQ(host.Transfer(true, in.data(), 480 * 4), -1);
    ASSERT_TRUE(WaitUntil([&] { return handle.Has(CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE); }));
    EXPECT_FALSE(interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL));
    EXPECT_EQ(PresentLinks().size(), 1u);
    EXPECT_EQ(OpenChannel(id), INVALID_HANDLE_VALUE);
    EXPECT_EQ(removal.get(), RemovalOutcome::Removed);
    ASSERT_TRUE(WaitUntil([&] { return interfaces.Has(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_EQ(handle.Actions(), (Actions{CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE}));
    EXPECT_TRUE(WaitUntil([&] { return Statistics(id)->failedTransfers == 2; }))
        << Statistics(id)->failedTransfers;
    driver::Devices().CM_Unregister_Notification(handleRegistration);
    driver::Devices().CM_Unregister_Notification(interfaceRegistration);
}

// Callbacks run on several threads: one registration's in order and never two at once, while another
// registration is served at the same time.
TEST_F(NotificationTest, OneRegistrationAtATimeInOrderOthersAlongside)
{
    std::atomic<int> inSlow{0};
    std::atomic<int> mostInSlow{0};
    std::atomic<bool> fastRanDuringSlow{false};
    CNotificationLog slow;
    slow.reply = [&](CM_NOTIFY_ACTION)
    {
        mostInSlow = std::max(mostInSlow.load(), ++inSlow);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        --inSlow;
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    CNotificationLog fast;
    fast.reply = [&](CM_NOTIFY_ACTION)
    {
        fastRanDuringSlow = fastRanDuringSlow || inSlow > 0;
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    HCMNOTIFICATION slowRegistration = RegisterInterfaces(slow);
    HCMNOTIFICATION fastRegistration = RegisterInterfaces(fast);
    const std::wstring a = AddDevice();
    const std::wstring b = AddDevice();
    ASSERT_TRUE(WaitUntil([&] { return slow.Entries().size() == 2 && fast.Entries().size() == 2; }));
    EXPECT_EQ(slow.Entries()[0].link, Notified(a));
    EXPECT_EQ(slow.Entries()[1].link, Notified(b));
    EXPECT_EQ(mostInSlow.load(), 1);
    EXPECT_TRUE(fastRanDuringSlow.load());
    driver::Devices().CM_Unregister_Notification(slowRegistration);
    driver::Devices().CM_Unregister_Notification(fastRegistration);
}

// The order between a device's handle events and its interface removal is the world's option.
TEST_F(NotificationTest, HandleEventsAndInterfaceRemovalComeInTheChosenOrder)
{
    for (const DeliveryOrder order : {DeliveryOrder::HandleEventsFirst, DeliveryOrder::InterfaceRemovalFirst})
    {
        world.reset();
        WorldOptions options;
        options.deliveryOrder = order;
        world = std::make_unique<CDeviceWorld>(options);
        ASSERT_TRUE(world->Start());
        const std::wstring id = AddDevice();
        CHostChannel host(OpenChannel(id));
        std::mutex mutex;
        std::vector<int> sequence;
        CNotificationLog interfaces;
        interfaces.reply = [&](CM_NOTIFY_ACTION action)
        {
            std::lock_guard lock(mutex);
            sequence.push_back(action);
            return static_cast<DWORD>(ERROR_SUCCESS);
        };
        CNotificationLog handle;
        handle.reply = [&](CM_NOTIFY_ACTION action)
        {
            if (action == CM_NOTIFY_ACTION_DEVICEQUERYREMOVE)
            {
                host.Close();
            }
            std::lock_guard lock(mutex);
            sequence.push_back(action);
            return static_cast<DWORD>(ERROR_SUCCESS);
        };
        HCMNOTIFICATION interfaceRegistration = RegisterInterfaces(interfaces);
        HCMNOTIFICATION handleRegistration = RegisterHandle(handle, host.Handle());
        ASSERT_EQ(RequestRemoval(id, RemovalKind::Orderly), RemovalOutcome::Removed);
        ASSERT_TRUE(WaitUntil(
            [&]
            {
                std::lock_guard lock(mutex);
                return sequence.size() == 4;
            }));
        const Actions handleFirst{CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEREMOVEPENDING,
                                  CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE,
                                  CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL};
        const Actions removalFirst{
            CM_NOTIFY_ACTION_DEVICEQUERYREMOVE, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL,
            CM_NOTIFY_ACTION_DEVICEREMOVEPENDING, CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE};
        EXPECT_EQ(sequence, order == DeliveryOrder::HandleEventsFirst ? handleFirst : removalFirst);
        driver::Devices().CM_Unregister_Notification(handleRegistration);
        driver::Devices().CM_Unregister_Notification(interfaceRegistration);
    }
}

// Unregistering from inside the registration's own callback would deadlock on Windows: counted, and
// the call returns.
TEST_F(NotificationTest, UnregisteringFromTheOwnCallbackIsCountedAndDoesNotHang)
{
    HCMNOTIFICATION registration = nullptr;
    std::atomic<bool> returned{false};
    CNotificationLog log;
    log.reply = [&](CM_NOTIFY_ACTION)
    {
        driver::Devices().CM_Unregister_Notification(registration);
        returned = true;
        return static_cast<DWORD>(ERROR_SUCCESS);
    };
    registration = RegisterInterfaces(log);
    ASSERT_NE(registration, nullptr);
    EXPECT_EQ(Totals().unregisterInCallback, 0u);
    AddDevice();
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
    EXPECT_EQ(Totals().unregisterInCallback, 1u);
}

TEST_F(NotificationTest, UnregisterWaitsForTheCallbackInProgress)
{
    for (int round = 0; round < 3; ++round)
    {
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
        CNotificationLog log;
        log.reply = [&](CM_NOTIFY_ACTION)
        {
            entered = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            finished = true;
            return static_cast<DWORD>(ERROR_SUCCESS);
        };
        HCMNOTIFICATION registration = RegisterInterfaces(log);
        ASSERT_NE(registration, nullptr);
        AddDevice();
        ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
        EXPECT_EQ(driver::Devices().CM_Unregister_Notification(registration),
                  static_cast<CONFIGRET>(CR_SUCCESS));
        EXPECT_TRUE(finished.load()) << round;
    }
}

TEST_F(NotificationTest, RegistrationArgumentsAreChecked)
{
    CNotificationLog log;
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof(filter) - 4;
    HCMNOTIFICATION handle = nullptr;
    EXPECT_EQ(driver::Devices().CM_Register_Notification(&filter, &log, &CNotificationLog::Callback, &handle),
              static_cast<CONFIGRET>(CR_INVALID_STRUCTURE_SIZE));
    filter.cbSize = sizeof(filter);
    EXPECT_EQ(driver::Devices().CM_Register_Notification(&filter, &log, nullptr, &handle),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
    // A handle that is not a device's.
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(RegisterHandle(log, event), nullptr);
    ::CloseHandle(event);
}
