// The device tree (children of a device) and the audio endpoint store.
#include "WorldTestSupport.h"

#include "simulation/DeviceControl.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include <gtest/gtest.h>

#include <mmdeviceapi.h>
#include <mutex>
#include <vector>
#include <propsys.h>

using namespace simulation;
using namespace worldtest;

namespace
{

const DEVPROPKEY kChildren = {{0x4340a6c5, 0x93fa, 0x4706, {0x97, 0x2c, 0x7b, 0x64, 0x80, 0x08, 0xa5, 0xa7}},
                              9};
const GUID kClsidEnumerator = {0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};
const PROPERTYKEY kDeviceDesc = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};

class DeviceTreeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetWorld();
        id = AddDevice();
        AddDevice();
        set = driver::Devices().SetupDiGetClassDevsW(&kInterfaceClass, id.c_str(), nullptr,
                                                     DIGCF_DEVICEINTERFACE);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        device.cbSize = sizeof(device);
        ASSERT_TRUE(driver::Devices().SetupDiEnumDeviceInfo(set, 0, &device));
    }
    void TearDown() override
    {
        if (set != INVALID_HANDLE_VALUE)
        {
            driver::Devices().SetupDiDestroyDeviceInfoList(set);
        }
    }

    std::wstring id;
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device{};
};

std::vector<std::wstring> SplitList(const BYTE* buffer, DWORD bytes)
{
    std::vector<std::wstring> out;
    const auto* p = reinterpret_cast<const wchar_t*>(buffer);
    const size_t count = bytes / sizeof(wchar_t);
    for (size_t i = 0; i < count && p[i]; i += out.back().size() + 1)
    {
        out.emplace_back(p + i);
    }
    return out;
}

} // namespace

TEST_F(DeviceTreeTest, TheEnumeratorSelectsOneDeviceWhoseChildrenAreItsEndpoints)
{
    SP_DEVINFO_DATA next{};
    next.cbSize = sizeof(next);
    EXPECT_FALSE(driver::Devices().SetupDiEnumDeviceInfo(set, 1, &next));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    wchar_t instance[260];
    ASSERT_TRUE(driver::Devices().SetupDiGetDeviceInstanceIdW(set, &device, instance, 260, nullptr));
    EXPECT_EQ(std::wstring(instance), id);

    BYTE buffer[1024];
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    ASSERT_TRUE(driver::Devices().SetupDiGetDevicePropertyW(set, &device, &kChildren, &type, buffer,
                                                            sizeof(buffer), &required, 0));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(0x2012));
    const auto record = store::Find(id);
    EXPECT_EQ(SplitList(buffer, required),
              (std::vector<std::wstring>{ToUpper(L"SWD\\MMDEVAPI\\" + record->captureEndpoint),
                                         ToUpper(L"SWD\\MMDEVAPI\\" + record->renderEndpoint)}));
    EXPECT_EQ(required, (2 * (record->captureEndpoint.size() + 14) + 1) * sizeof(wchar_t));
}

TEST_F(DeviceTreeTest, SmallBuffersUnknownPropertiesAndForeignHandlesFail)
{
    BYTE buffer[16];
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    EXPECT_FALSE(driver::Devices().SetupDiGetDevicePropertyW(set, &device, &kChildren, &type, buffer,
                                                             sizeof(buffer), &required, 0));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_GT(required, sizeof(buffer));

    const DEVPROPKEY unknown = {{0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 9}}, 77};
    EXPECT_FALSE(driver::Devices().SetupDiGetDevicePropertyW(set, &device, &unknown, &type, buffer,
                                                             sizeof(buffer), &required, 0));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    int notASet = 0;
    EXPECT_FALSE(driver::Devices().SetupDiEnumDeviceInfo(&notASet, 0, &device));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    wchar_t small[4];
    EXPECT_FALSE(driver::Devices().SetupDiGetDeviceInstanceIdW(set, &device, small, 4, &required));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, id.size() + 1);
}

namespace
{

class EndpointStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetWorld();
        first = AddDevice();
        AddDevice();
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        ASSERT_EQ(driver::Devices().CoCreateInstance(kClsidEnumerator, nullptr, CLSCTX_ALL,
                                                     __uuidof(IMMDeviceEnumerator),
                                                     reinterpret_cast<void**>(&enumerator)),
                  S_OK);
    }
    void TearDown() override
    {
        if (enumerator)
        {
            EXPECT_EQ(enumerator->Release(), 0u);
        }
        ::CoUninitialize();
    }

    std::vector<std::wstring> ActiveIds()
    {
        IMMDeviceCollection* collection = nullptr;
        std::vector<std::wstring> ids;
        if (FAILED(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, &collection)))
        {
            return ids;
        }
        UINT count = 0;
        collection->GetCount(&count);
        for (UINT i = 0; i < count; ++i)
        {
            IMMDevice* device = nullptr;
            LPWSTR id = nullptr;
            if (SUCCEEDED(collection->Item(i, &device)) && SUCCEEDED(device->GetId(&id)))
            {
                ids.emplace_back(id);
                ::CoTaskMemFree(id);
            }
            if (device)
            {
                device->Release();
            }
        }
        collection->Release();
        return ids;
    }

    std::wstring first;
    IMMDeviceEnumerator* enumerator = nullptr;
};

// Counts references, so that the test sees whether the store takes one.
class CCountingClient final : public IMMNotificationClient
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override
    {
        std::lock_guard lock(mutex);
        changes.emplace_back(id, state);
        if (unregisterFrom != nullptr)
        {
            unregistered = unregisterFrom->UnregisterEndpointNotificationCallback(this);
        }
        return S_OK;
    }
    bool Saw(const std::wstring& id, DWORD state)
    {
        std::lock_guard lock(mutex);
        return std::find(changes.begin(), changes.end(), std::pair(id, state)) != changes.end();
    }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }
    ULONG count = 1;
    std::mutex mutex;
    std::vector<std::pair<std::wstring, DWORD>> changes;
    IMMDeviceEnumerator* unregisterFrom = nullptr; // unregisters inside the callback when set
    HRESULT unregistered = S_OK;
};

} // namespace

TEST_F(EndpointStoreTest, ActiveEndpointsAreEnumeratedAndInactiveOnesAreNot)
{
    const auto record = store::Find(first);
    auto ids = ActiveIds();
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_NE(std::find(ids.begin(), ids.end(), record->captureEndpoint), ids.end());
    ASSERT_TRUE(SetEndpointState(record->captureEndpoint, DEVICE_STATE_DISABLED));
    ids = ActiveIds();
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(std::find(ids.begin(), ids.end(), record->captureEndpoint), ids.end());
    // The endpoints of a removed device are gone too.
    ASSERT_EQ(RequestRemoval(first, RemovalKind::Orderly), RemovalOutcome::Removed);
    EXPECT_EQ(ActiveIds().size(), 2u);
}

TEST_F(EndpointStoreTest, WrittenPropertiesAreReadBackAndReadOnlyStoresRefuseWrites)
{
    const std::wstring render = store::Find(first)->renderEndpoint;
    IMMDevice* device = nullptr;
    ASSERT_EQ(enumerator->GetDevice(render.c_str(), &device), S_OK);
    IPropertyStore* properties = nullptr;
    ASSERT_EQ(device->OpenPropertyStore(STGM_WRITE, &properties), S_OK);
    std::wstring name = L"Studio A";
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPWSTR;
    value.pwszVal = name.data();
    EXPECT_EQ(properties->SetValue(kDeviceDesc, value), S_OK);
    // Kept by the store until committed.
    EXPECT_EQ(EndpointStringProperty(render, kDeviceDesc.fmtid, kDeviceDesc.pid).value_or(L""), L"Speakers");
    EXPECT_EQ(properties->Commit(), S_OK);
    EXPECT_EQ(EndpointStringProperty(render, kDeviceDesc.fmtid, kDeviceDesc.pid).value_or(L""), L"Studio A");
    // The endpoint's own instance id: its id in lower case, the children list's in upper case.
    const PROPERTYKEY instanceIdKey{
        {0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}}, 256};
    PROPVARIANT own;
    ASSERT_EQ(properties->GetValue(instanceIdKey, &own), S_OK);
    ASSERT_EQ(own.vt, VT_LPWSTR);
    EXPECT_EQ(std::wstring(own.pwszVal), L"SWD\\MMDEVAPI\\" + render);
    EXPECT_EQ(render, ToLower(render));
    PropVariantClear(&own);
    PROPVARIANT read;
    ASSERT_EQ(properties->GetValue(kDeviceDesc, &read), S_OK);
    ASSERT_EQ(read.vt, VT_LPWSTR);
    EXPECT_STREQ(read.pwszVal, L"Studio A");
    PropVariantClear(&read);
    EXPECT_EQ(properties->Release(), 0u);

    ASSERT_EQ(device->OpenPropertyStore(STGM_READ, &properties), S_OK);
    EXPECT_EQ(properties->SetValue(kDeviceDesc, value), STG_E_ACCESSDENIED);
    EXPECT_EQ(properties->Release(), 0u);
    EXPECT_EQ(device->Release(), 0u);
    // Endpoint ids are compared exactly.
    const std::wstring upper = ToUpper(render);
    EXPECT_EQ(enumerator->GetDevice(upper.c_str(), &device), E_NOTFOUND);
}

// The enumerator does not add a reference to a registered client: the client keeps its own count.
TEST_F(EndpointStoreTest, NotificationClientsAreNotReferencedAndOtherClassesGoToCom)
{
    CCountingClient client;
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), S_OK);
    EXPECT_EQ(client.count, 1u);
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), S_OK);
    EXPECT_EQ(client.count, 1u);
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), E_NOTFOUND);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(enumerator->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    void* none = &client;
    EXPECT_EQ(enumerator->QueryInterface(__uuidof(IMMDevice), &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);

    const GUID unknownClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* object = nullptr;
    EXPECT_EQ(driver::Devices().CoCreateInstance(unknownClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
              ::CoCreateInstance(unknownClass, nullptr, CLSCTX_ALL, IID_IUnknown, &object));
}

// Endpoints appear the world's delay after their device starts, and clients hear of it on the
// enumerator's own thread; unregistering from inside a callback is counted (it deadlocks on Windows).
TEST_F(EndpointStoreTest, ClientsHearOfEndpointsThatAppearAndMustNotUnregisterInACallback)
{
    CCountingClient client;
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(&client), S_OK);
    store::SetRootValue(values::kEndpointDelay, 500);
    const auto late = store::Find(AddDevice());
    const auto listed = [&]
    {
        const auto ids = ActiveIds();
        return std::find(ids.begin(), ids.end(), late->renderEndpoint) != ids.end();
    };
    EXPECT_FALSE(listed());
    EXPECT_TRUE(WaitUntil([&] { return client.Saw(late->renderEndpoint, DEVICE_STATE_ACTIVE); }));
    EXPECT_TRUE(listed());

    client.unregisterFrom = enumerator;
    ASSERT_TRUE(SetEndpointState(late->captureEndpoint, DEVICE_STATE_DISABLED));
    EXPECT_TRUE(WaitUntil([&] { return client.Saw(late->captureEndpoint, DEVICE_STATE_DISABLED); }));
    EXPECT_EQ(client.unregistered, E_UNEXPECTED);
    EXPECT_EQ(Totals().unregisterInCallback, 1u);
    client.unregisterFrom = nullptr;
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(&client), S_OK);
    store::SetRootValue(values::kEndpointDelay, 0);
}
