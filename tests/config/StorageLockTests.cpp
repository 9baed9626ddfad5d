// The claim on an instance's storage that orders a device removal after the instance's last save.
#include "config/StorageLock.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{
CStorageLock::Outcome TryFromAnotherThread(const std::wstring& id, HANDLE stop, DWORD timeoutMs)
{
    CStorageLock::Outcome outcome = CStorageLock::Outcome::Failed;
    std::thread([&] { outcome = CStorageLock::Acquire(id, stop, timeoutMs).Result(); }).join();
    return outcome;
}
} // namespace

TEST(StorageLock, OneHolderPerIdWhateverTheCaseAStopEndsTheWaitAndADeadHolderFreesIt)
{
    const std::wstring id = L"ROOT#MEDIA#0042";
    {
        CStorageLock held = CStorageLock::Acquire(id, nullptr, 0);
        ASSERT_TRUE(held.Held());
        EXPECT_EQ(TryFromAnotherThread(L"root#media#0042", nullptr, 50), CStorageLock::Outcome::TimedOut);
        EXPECT_EQ(TryFromAnotherThread(L"ROOT#MEDIA#0043", nullptr, 0), CStorageLock::Outcome::Acquired);

        platform::UniqueEvent stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        EXPECT_EQ(TryFromAnotherThread(id, stop.get(), INFINITE), CStorageLock::Outcome::Stopped);

        CStorageLock moved = std::move(held);
        EXPECT_FALSE(held.Held());
        EXPECT_EQ(TryFromAnotherThread(id, nullptr, 0), CStorageLock::Outcome::TimedOut);
    }
    EXPECT_EQ(TryFromAnotherThread(id, nullptr, 0), CStorageLock::Outcome::Acquired);

    // A holder whose thread ended without letting go: the next one gets it.
    platform::UniqueThread dead(CreateThread(
        nullptr, 0,
        [](void*) -> DWORD
        {
            CStorageLock abandoned = CStorageLock::Acquire(L"ROOT#MEDIA#0042", nullptr, 0);
            // Ends the thread with the mutex owned and not released.
            ExitThread(abandoned.Held() ? 0 : 1);
        },
        nullptr, 0, nullptr));
    ASSERT_TRUE(dead);
    ASSERT_EQ(WaitForSingleObject(dead.get(), 5000), WAIT_OBJECT_0);
    DWORD code = 2;
    GetExitCodeThread(dead.get(), &code);
    ASSERT_EQ(code, 0u);
    EXPECT_EQ(TryFromAnotherThread(id, nullptr, 1000), CStorageLock::Outcome::Acquired);
}
