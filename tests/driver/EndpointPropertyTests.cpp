#include "FakeEndpointStore.h"
#include "LogCapture.h"
#include "driver/EndpointProperty.h"
#include "platform/SystemApi.h"
#include "ApiOverride.h"

#include <gtest/gtest.h>

namespace
{

const std::wstring kWanted = L"{0.0.0.00000000}.{3e2a1f6b-61aa-4a77-9d1f-0d3b6a4e5c21}";
const std::wstring kOther = L"{0.0.1.00000000}.{77aa0b2c-1111-4c4c-8e8e-123456789abc}";
// The wanted endpoint as its device's children list names it: in another letter case.
const std::wstring kWantedChild = L"SWD\\MMDEVAPI\\{0.0.0.00000000}.{3E2A1F6B-61AA-4A77-9D1F-0D3B6A4E5C21}";

struct ClearSpy
{
    static inline std::vector<std::pair<VARTYPE, const void*>> cleared;
    static HRESULT WINAPI Clear(PROPVARIANT* value)
    {
        cleared.emplace_back(value->vt, value->vt == VT_LPWSTR ? value->pwszVal : nullptr);
        return ::PropVariantClear(value);
    }
};

void* WINAPI NoMemory(SIZE_T)
{
    return nullptr;
}

class EndpointPropertyTest : public testing::Test
{
protected:
    EndpointPropertyTest() : m_clear(platform::Api().PropVariantClear, &ClearSpy::Clear)
    {
        ClearSpy::cleared.clear();
    }

    // Every reference handed out has come back, and COM was left as found.
    void ExpectAllReleased()
    {
        EXPECT_EQ(world.enumerator.references.load(), 0);
        EXPECT_EQ(world.enumerator.collection.references.load(), 0);
        for (const auto& endpoint : world.enumerator.endpoints)
        {
            EXPECT_EQ(endpoint->references.load(), 0);
            EXPECT_EQ(endpoint->store.references.load(), 0);
        }
        EXPECT_EQ(world.uninitialiseCalls, world.initialiseCalls);
    }

    CLogCapture& log = CLogCapture::Fresh();
    CFakeEndpointWorld world;

private:
    CApiOverride<decltype(platform::SystemApi::PropVariantClear)> m_clear;
};

TEST_F(EndpointPropertyTest, WritesAndCommitsOnlyTheEndpointWhoseOwnInstanceIdMatches)
{
    auto& other = world.enumerator.Add(kOther);
    auto& wanted = world.enumerator.Add(kWanted);
    ASSERT_TRUE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"Studio A"));

    EXPECT_EQ(world.enumerator.askedFlow, eAll);
    EXPECT_EQ(world.enumerator.askedStates, static_cast<DWORD>(DEVICE_STATE_ACTIVE));
    EXPECT_EQ(other.writableOpens, 0);
    EXPECT_TRUE(other.store.writes.empty());
    EXPECT_EQ(wanted.writableOpens, 1);
    ASSERT_EQ(wanted.store.writes.size(), 1u);
    const PropertyWrite& write = wanted.store.writes[0];
    EXPECT_TRUE(IsEqualGUID(write.key.fmtid, kDeviceDescriptionKey.fmtid));
    EXPECT_EQ(write.key.pid, 2u);
    EXPECT_EQ(write.type, VT_LPWSTR);
    EXPECT_EQ(write.text, L"Studio A");
    EXPECT_EQ(wanted.store.commits, 1);
    // The instance ids read and the value's copy were given back.
    ASSERT_EQ(ClearSpy::cleared.size(), 3u);
    EXPECT_EQ(ClearSpy::cleared.back().second, write.storage);
    EXPECT_EQ(world.initialiseModel, static_cast<DWORD>(COINIT_MULTITHREADED));
    ExpectAllReleased();
    EXPECT_TRUE(log.Lines().empty());
}

// Endpoint ids are opaque: an endpoint whose id looks like the child's tail but that belongs to
// another device is not written, nor are endpoints that are not active.
TEST_F(EndpointPropertyTest, OtherDevicesAndInactiveEndpointsDoNotMatchAndSayNothing)
{
    auto& disabled = world.enumerator.Add(kWanted, DEVICE_STATE_DISABLED);
    auto& unplugged = world.enumerator.Add(kWanted, DEVICE_STATE_UNPLUGGED);
    auto& lookalike = world.enumerator.Add(kWanted);
    lookalike.store.instanceId = L"SWD\\MMDEVAPI\\" + kOther;
    auto& shorter = world.enumerator.Add(kWanted.substr(0, kWanted.size() - 1));

    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"Studio A"));
    for (const auto* endpoint : {&disabled, &unplugged, &lookalike, &shorter})
    {
        EXPECT_TRUE(endpoint->store.writes.empty());
        EXPECT_EQ(endpoint->writableOpens, 0);
    }
    EXPECT_TRUE(log.Lines().empty());
    ExpectAllReleased();
}

TEST_F(EndpointPropertyTest, EndpointsThatCannotBeReadAreSkipped)
{
    world.enumerator.Add(kOther);
    auto& noStore = world.enumerator.Add(kWanted);
    noStore.openStoreResult = E_ACCESSDENIED;
    auto& noId = world.enumerator.Add(kWanted);
    noId.store.instanceId.clear();
    auto& good = world.enumerator.Add(kWanted);
    world.enumerator.failingItem = 0;

    EXPECT_TRUE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"Studio B"));
    EXPECT_EQ(log.At(velmar::LogSeverity::Error), (std::vector<std::wstring>{L"OpenPropertyStore failed"}));
    ASSERT_EQ(good.store.writes.size(), 1u);
    EXPECT_TRUE(noId.store.writes.empty());
    ExpectAllReleased();
}

TEST_F(EndpointPropertyTest, AFailedWriteOrCommitIsLoggedAndTheValueStillFreed)
{
    auto& wanted = world.enumerator.Add(kWanted);
    wanted.store.setValueResult = E_ACCESSDENIED;
    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"Studio C"));
    wanted.store.setValueResult = S_OK;
    wanted.store.commitResult = E_FAIL;
    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"Studio C"));
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"Set PKEY_... failed: 80070005",
                                         L"Commit of PKEY_... failed: 80004005"}));
    EXPECT_EQ(ClearSpy::cleared.size(), 4u);
    ExpectAllReleased();
}

TEST_F(EndpointPropertyTest, NoValueOrNoMemoryForItFails)
{
    world.enumerator.Add(kWanted);
    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, nullptr));
    {
        CApiOverride noMemory(platform::Api().CoTaskMemAlloc, &NoMemory);
        EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"Studio D"));
    }
    EXPECT_EQ(log.At(velmar::LogSeverity::Error),
              (std::vector<std::wstring>{L"InitPropVariantFromString failed",
                                         L"InitPropVariantFromString failed"}));
    EXPECT_TRUE(world.enumerator.endpoints[0]->store.writes.empty());
    ExpectAllReleased();
}

TEST_F(EndpointPropertyTest, ComOrEnumeratorFailuresFailSilently)
{
    world.enumerator.Add(kWanted);
    world.initialiseResult = RPC_E_CHANGED_MODE;
    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"x"));
    EXPECT_EQ(world.uninitialiseCalls, 0);
    EXPECT_EQ(world.createCalls, 0);

    world.initialiseResult = S_FALSE;
    world.createResult = REGDB_E_CLASSNOTREG;
    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"x"));
    EXPECT_EQ(world.uninitialiseCalls, 1);

    world.createResult = S_OK;
    world.enumerator.enumResult = E_FAIL;
    EXPECT_FALSE(SetEndpointStringProperty(kWantedChild, kDeviceDescriptionKey, L"x"));
    EXPECT_EQ(world.uninitialiseCalls, 2);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(world.enumerator.references.load(), 0);
}

} // namespace
