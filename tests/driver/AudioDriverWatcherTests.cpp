#include "FakeEndpointStore.h"
#include "LogCapture.h"
#include "driver/AudioDriverWatcher.h"

#include <gtest/gtest.h>

#include <oaidl.h>

namespace
{

class AudioDriverWatcherTest : public testing::Test
{
protected:
    CLogCapture& log = CLogCapture::Fresh();
    CFakeEndpointWorld world;
};

TEST_F(AudioDriverWatcherTest, AnswersOnlyForItsTwoInterfacesAndCountsReferences)
{
    auto watcher = CAudioDriver_Watcher::Create();
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(watcher->QueryInterface(__uuidof(IDispatch), &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);

    ASSERT_EQ(watcher->QueryInterface(__uuidof(IMMNotificationClient), &object), S_OK);
    EXPECT_EQ(object, static_cast<IMMNotificationClient*>(watcher.Get()));
    ASSERT_EQ(watcher->QueryInterface(__uuidof(IUnknown), &object), S_OK);
    EXPECT_EQ(object, static_cast<IUnknown*>(watcher.Get()));
    // One for the owner, two from the queries.
    EXPECT_EQ(watcher->AddRef(), 4u);
    EXPECT_EQ(watcher->Release(), 3u);
    EXPECT_EQ(watcher->Release(), 2u);
    EXPECT_EQ(watcher->Release(), 1u);

    EXPECT_EQ(watcher->OnDeviceStateChanged(L"x", DEVICE_STATE_ACTIVE), S_OK);
    EXPECT_EQ(watcher->OnDeviceAdded(L"x"), S_OK);
    EXPECT_EQ(watcher->OnDeviceRemoved(L"x"), S_OK);
    EXPECT_EQ(watcher->OnDefaultDeviceChanged(eRender, eConsole, L"x"), S_OK);
    EXPECT_EQ(watcher->OnPropertyValueChanged(L"x", PROPERTYKEY{}), S_OK);
}

TEST_F(AudioDriverWatcherTest, RegistersOnceInitialisedAndReRegistersWithoutInitialisingAgain)
{
    {
        auto watcher = CAudioDriver_Watcher::Create();
        ASSERT_TRUE(watcher->Register());
        EXPECT_EQ(world.initialiseModel, static_cast<DWORD>(COINIT_MULTITHREADED));
        EXPECT_TRUE(world.createdAsEnumerator);
        EXPECT_EQ(world.enumerator.registered, static_cast<IMMNotificationClient*>(watcher.Get()));
        EXPECT_EQ(world.enumerator.references.load(), 1);

        ASSERT_TRUE(watcher->Register());
        EXPECT_EQ(world.initialiseCalls, 1);
        EXPECT_EQ(world.createCalls, 2);
        EXPECT_EQ(world.enumerator.unregisterCalls, 1);
        EXPECT_EQ(world.enumerator.references.load(), 1);

        watcher->Unregister();
        EXPECT_EQ(world.enumerator.registered, nullptr);
        EXPECT_EQ(world.enumerator.references.load(), 0);
        watcher->Unregister();
        EXPECT_EQ(world.enumerator.unregisterCalls, 2);
        EXPECT_EQ(world.uninitialiseCalls, 0);
    }
    EXPECT_EQ(world.uninitialiseCalls, 1);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(AudioDriverWatcherTest, ReleasingARegisteredWatcherUnregistersBeforeUninitialising)
{
    {
        auto watcher = CAudioDriver_Watcher::Create();
        ASSERT_TRUE(watcher->Register());
    }
    EXPECT_EQ(world.enumerator.registered, nullptr);
    EXPECT_EQ(world.enumerator.references.load(), 0);
    EXPECT_EQ(world.uninitialiseCalls, 1);
}

TEST_F(AudioDriverWatcherTest, InitialisationFailureIsAWarningWithTheResultInHex)
{
    world.initialiseResult = RPC_E_CHANGED_MODE;
    {
        auto watcher = CAudioDriver_Watcher::Create();
        EXPECT_FALSE(watcher->Register());
    }
    EXPECT_EQ(log.At(velmar::LogSeverity::Warn),
              (std::vector<std::wstring>{L"Failed to CoInitializeEx: 80010106"}));
    EXPECT_EQ(world.createCalls, 0);
    EXPECT_EQ(world.uninitialiseCalls, 0);
}

TEST_F(AudioDriverWatcherTest, EnumeratorFailureKeepsComUntilTheWatcherGoes)
{
    world.createResult = REGDB_E_CLASSNOTREG;
    {
        auto watcher = CAudioDriver_Watcher::Create();
        EXPECT_FALSE(watcher->Register());
        EXPECT_EQ(world.uninitialiseCalls, 0);
    }
    EXPECT_EQ(log.At(velmar::LogSeverity::Warn),
              (std::vector<std::wstring>{L"Failed to create device enumerator: 80040154"}));
    EXPECT_EQ(world.uninitialiseCalls, 1);
}

TEST_F(AudioDriverWatcherTest, RegistrationAndUnregistrationFailuresAreWarnings)
{
    world.enumerator.registerResult = E_FAIL;
    world.enumerator.unregisterResult = E_ACCESSDENIED;
    auto watcher = CAudioDriver_Watcher::Create();
    EXPECT_FALSE(watcher->Register());
    EXPECT_EQ(log.At(velmar::LogSeverity::Warn),
              (std::vector<std::wstring>{L"Failed to register endpoint notification callback: 80004005",
                                         L"Failed to unregister endpoint notification callback80070005"}));
    EXPECT_EQ(world.enumerator.references.load(), 0);
}

} // namespace
