#include "platform/Event.h"
#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{

bool IsSignalled(const CEvent& event)
{
    return WaitForSingleObject(event.Handle(), 0) == WAIT_OBJECT_0;
}

HANDLE WINAPI FailCreateEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL WINAPI FailResetEvent(HANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST(CEventTest, StartsClearAndSetSignalsIt)
{
    CEvent event;
    ASSERT_NE(event.Handle(), nullptr);
    EXPECT_FALSE(IsSignalled(event));
    event.Set();
    EXPECT_TRUE(IsSignalled(event));
    // Manual reset: it stays signalled.
    EXPECT_TRUE(IsSignalled(event));
}

TEST(WaitForAnyEventTest, StopSetBeforeTheWaitReturnsAtOnce)
{
    CEvent stop;
    CEvent change;
    stop.Set();
    EXPECT_EQ(WaitForAnyEvent({&stop, &change}), &stop);
    EXPECT_FALSE(IsSignalled(stop));
}

TEST(WaitForAnyEventTest, BothSignalledLowestIndexWinsOtherStaysSignalled)
{
    CEvent stop;
    CEvent change;
    change.Set();
    stop.Set();
    EXPECT_EQ(WaitForAnyEvent({&stop, &change}), &stop);
    EXPECT_FALSE(IsSignalled(stop));
    EXPECT_TRUE(IsSignalled(change));
    EXPECT_EQ(WaitForAnyEvent({&stop, &change}), &change);
    EXPECT_FALSE(IsSignalled(change));
}

TEST(WaitForAnyEventTest, WakesWhenAnotherThreadSets)
{
    CEvent stop;
    CEvent change;
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        change.Set();
    });
    EXPECT_EQ(WaitForAnyEvent({&stop, &change}), &change);
    setter.join();
}

TEST(WaitForAnyEventTest, SetsDuringTheWindowAreAbsorbed)
{
    CEvent stop;
    CEvent change;
    change.Set();
    change.Set();
    change.Set();
    EXPECT_EQ(WaitForAnyEvent({&stop, &change}), &change);
    EXPECT_FALSE(IsSignalled(change));
}

TEST(CEventTest, FailedCreationFailsSetAndWait)
{
    CApiOverride guard(platform::Api().CreateEventW, &FailCreateEvent);
    CEvent broken;
    EXPECT_EQ(broken.Handle(), nullptr);
    try
    {
        broken.Set();
        FAIL() << "Set on a failed event did not throw";
    }
    catch (const EventError& error)
    {
        EXPECT_STREQ(error.what(), "Cannot open set event");
        EXPECT_EQ(error.code(), ERROR_INVALID_HANDLE);
    }
    try
    {
        WaitForAnyEvent({&broken});
        FAIL() << "Wait on a failed event did not throw";
    }
    catch (const EventError& error)
    {
        EXPECT_STREQ(error.what(), "Wait for event");
        EXPECT_EQ(error.code(), -1); // WAIT_FAILED read as a signed code
    }
}

TEST(WaitForAnyEventTest, FailedResetThrowsWithTheSystemCode)
{
    CEvent stop;
    stop.Set();
    CApiOverride guard(platform::Api().ResetEvent, &FailResetEvent);
    try
    {
        WaitForAnyEvent({&stop});
        FAIL() << "no exception";
    }
    catch (const EventError& error)
    {
        EXPECT_STREQ(error.what(), "Cannot open reset event");
        EXPECT_EQ(error.code(), ERROR_ACCESS_DENIED);
    }
}

TEST(StopEventTest, IsOneProcessWideEvent)
{
    EXPECT_EQ(&StopEvent(), &StopEvent());
    ASSERT_NE(StopEvent().Handle(), nullptr);
    EXPECT_FALSE(IsSignalled(StopEvent()));
}

TEST(EventErrorTest, CarriesMessageAndCode)
{
    const EventError error("Wait for event", -1);
    const std::exception& base = error;
    EXPECT_STREQ(base.what(), "Wait for event");
    EXPECT_EQ(error.code(), -1);
}

} // namespace
