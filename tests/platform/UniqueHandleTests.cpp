#include "platform/Event.h"
#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"

#include "ApiOverride.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace
{

// What the overridden close entries of the table saw, in call order.
std::vector<void*> g_closed;
BOOL g_closeResult = TRUE;

BOOL WINAPI RecordCloseHandle(HANDLE handle)
{
    g_closed.push_back(handle);
    if (!g_closeResult)
    {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return g_closeResult;
}
LSTATUS WINAPI RecordRegCloseKey(HKEY key)
{
    g_closed.push_back(key);
    return g_closeResult ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
BOOL WINAPI RecordCloseServiceHandle(SC_HANDLE service)
{
    g_closed.push_back(service);
    return g_closeResult;
}
void WINAPI RecordCoTaskMemFree(void* memory)
{
    g_closed.push_back(memory);
}

class UniqueHandleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_closed.clear();
        g_closeResult = TRUE;
    }

    CApiOverride<decltype(platform::SystemApi::CloseHandle)> m_close{platform::Api().CloseHandle,
                                                                     &RecordCloseHandle};
};

HANDLE Fake(std::uintptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

TEST_F(UniqueHandleTest, ClosesOnceThroughTheTableAndOnlyWhatItHolds)
{
    {
        const platform::UniqueHandle empty;
        const platform::UniqueFile emptyFile;
        EXPECT_FALSE(empty);
        EXPECT_FALSE(emptyFile);
        EXPECT_EQ(emptyFile.get(), INVALID_HANDLE_VALUE);
        const platform::UniqueHandle held(Fake(0x10));
        const platform::UniqueFile file(Fake(0x20));
        EXPECT_TRUE(held);
        EXPECT_TRUE(file);
    }
    EXPECT_EQ(g_closed, (std::vector<void*>{Fake(0x20), Fake(0x10)}));
}

TEST_F(UniqueHandleTest, ResetReleaseAndPut)
{
    platform::UniqueHandle handle(Fake(0x10));
    handle.reset(Fake(0x11));
    EXPECT_EQ(g_closed, (std::vector<void*>{Fake(0x10)}));
    EXPECT_EQ(handle.release(), Fake(0x11)); // given up, never closed
    EXPECT_FALSE(handle);
    handle.reset(Fake(0x12));
    HANDLE* slot = handle.put(); // closes what it held, leaves an empty slot
    EXPECT_EQ(*slot, nullptr);
    *slot = Fake(0x13);
    handle.reset();
    handle.reset();
    EXPECT_EQ(g_closed, (std::vector<void*>{Fake(0x10), Fake(0x12), Fake(0x13)}));
}

TEST_F(UniqueHandleTest, MovesTransferOwnershipAndAssignmentClosesTheTarget)
{
    platform::UniqueHandle first(Fake(0x10));
    platform::UniqueHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), Fake(0x10));
    platform::UniqueHandle third(Fake(0x20));
    third = std::move(second);
    EXPECT_EQ(g_closed, (std::vector<void*>{Fake(0x20)}));
    auto& alias = third; // self-assignment keeps the value
    third = std::move(alias);
    EXPECT_EQ(third.get(), Fake(0x10));
    third.reset();
    EXPECT_EQ(g_closed, (std::vector<void*>{Fake(0x20), Fake(0x10)}));
}

TEST_F(UniqueHandleTest, AFailedCloseIsToleratedAndNotRepeated)
{
    g_closeResult = FALSE;
    {
        platform::UniqueHandle handle(Fake(0x10));
        handle.reset();
        EXPECT_FALSE(handle);
    }
    EXPECT_EQ(g_closed, (std::vector<void*>{Fake(0x10)}));
}

TEST_F(UniqueHandleTest, EveryKindClosesThroughItsOwnEntry)
{
    CApiOverride keyClose(platform::Api().RegCloseKey, &RecordRegCloseKey);
    CApiOverride serviceClose(platform::Api().CloseServiceHandle, &RecordCloseServiceHandle);
    CApiOverride memoryFree(platform::Api().CoTaskMemFree, &RecordCoTaskMemFree);
    platform::UniqueKey(reinterpret_cast<HKEY>(0x30)).reset();
    platform::UniqueServiceHandle(reinterpret_cast<SC_HANDLE>(0x40)).reset();
    platform::UniqueCoTaskMem(reinterpret_cast<void*>(0x50)).reset();
    EXPECT_EQ(g_closed, (std::vector<void*>{reinterpret_cast<void*>(0x30), reinterpret_cast<void*>(0x40),
                                            reinterpret_cast<void*>(0x50)}));
}

// A failed CreateEventW gives null: the event holds nothing and closes nothing.
HANDLE WINAPI FailCreateEvent(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(UniqueHandleTest, EventClosesItsHandleOnceAndNothingWhenCreationFailed)
{
    HANDLE created = nullptr;
    {
        const CEvent event;
        created = event.Handle();
        ASSERT_NE(created, nullptr);
    }
    {
        CApiOverride failCreate(platform::Api().CreateEventW, &FailCreateEvent);
        const CEvent broken;
        EXPECT_EQ(broken.Handle(), nullptr);
    }
    EXPECT_EQ(g_closed, (std::vector<void*>{created}));
    ::CloseHandle(created); // the recorder only watched
}

int g_enters = 0;
int g_leaves = 0;
HRESULT g_enterResult = S_OK;
HRESULT WINAPI RecordCoInitializeEx(LPVOID, DWORD)
{
    ++g_enters;
    return g_enterResult;
}
void WINAPI RecordCoUninitialize()
{
    ++g_leaves;
}

TEST(ComApartmentTest, LeavesOnlyAnApartmentItEntered)
{
    CApiOverride enter(platform::Api().CoInitializeEx, &RecordCoInitializeEx);
    CApiOverride leave(platform::Api().CoUninitialize, &RecordCoUninitialize);
    const struct
    {
        HRESULT result;
        bool entered;
    } cases[] = {{S_OK, true}, {S_FALSE, true}, {RPC_E_CHANGED_MODE, false}};
    for (const auto& c : cases)
    {
        g_enters = g_leaves = 0;
        g_enterResult = c.result;
        {
            const platform::UniqueComApartment apartment = platform::EnterComApartment(COINIT_MULTITHREADED);
            EXPECT_EQ(static_cast<bool>(apartment), c.entered) << std::hex << c.result;
        }
        EXPECT_EQ(g_enters, 1);
        EXPECT_EQ(g_leaves, c.entered ? 1 : 0) << std::hex << c.result;
    }
}

} // namespace
