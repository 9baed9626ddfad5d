// The claim on an instance's storage that orders a device removal after the instance's last save.
#include "config/StorageLock.h"

#include "platform/SystemApi.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>
#include <sddl.h>

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

// Any user may make a Global mutex: the claim carries its own security, and a name that a user who is
// not trusted made first is refused rather than shared.
TEST(StorageLock, ClaimIsForSystemAndAdministratorsAndANameAnotherUserMadeIsRefused)
{
    const std::wstring id = L"ROOT#MEDIA#0044";
    {
        CStorageLock held = CStorageLock::Acquire(id, nullptr, 0);
        ASSERT_TRUE(held.Held());
        platform::UniqueHandle opened(OpenMutexW(READ_CONTROL, FALSE, CStorageLock::MutexName(id).c_str()));
        ASSERT_TRUE(opened);
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_EQ(GetSecurityInfo(opened.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &dacl, nullptr, &raw),
                  static_cast<DWORD>(ERROR_SUCCESS));
        const platform::UniqueLocalMemory descriptor(raw);
        wchar_t* text = nullptr;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
            raw, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
        const platform::UniqueLocalMemory textOwner(text);
        EXPECT_STREQ(text, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    }

    // The name exists and belongs to Everyone: whoever made it could hold it or watch it.
    CApiOverride<decltype(&::GetSecurityInfo)> squatted{
        platform::Api().GetSecurityInfo,
        [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL*, PACL*,
           PSECURITY_DESCRIPTOR* descriptor) -> DWORD
        {
            ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:WD", SDDL_REVISION_1, descriptor,
                                                                 nullptr);
            BOOL defaulted = FALSE;
            GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
            return ERROR_SUCCESS;
        }};
    CStorageLock first = CStorageLock::Acquire(id, nullptr, 0); // made here: nothing to check
    ASSERT_TRUE(first.Held());
    const CStorageLock second = CStorageLock::Acquire(L"root#media#0044", nullptr, 0);
    EXPECT_EQ(second.Result(), CStorageLock::Outcome::Failed);
    EXPECT_EQ(second.Error(), static_cast<DWORD>(ERROR_INVALID_OWNER));
}
