#include "FakeEndpointStore.h"

#include "ApiOverride.h"
#include "driver/Devices.h"
#include "platform/SystemApi.h"

#include <cstring>

HRESULT STDMETHODCALLTYPE CFakePropertyStore::GetCount(DWORD* count)
{
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakePropertyStore::GetAt(DWORD, PROPERTYKEY*)
{
    return E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE CFakePropertyStore::GetValue(REFPROPERTYKEY key, PROPVARIANT* value)
{
    PropVariantInit(value);
    const GUID instanceIdFormat = {
        0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}};
    if (IsEqualGUID(key.fmtid, instanceIdFormat) && key.pid == 256 && !instanceId.empty())
    {
        const std::size_t bytes = (instanceId.size() + 1) * sizeof(wchar_t);
        value->pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        std::memcpy(value->pwszVal, instanceId.c_str(), bytes);
        value->vt = VT_LPWSTR;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakePropertyStore::SetValue(REFPROPERTYKEY key, REFPROPVARIANT value)
{
    PropertyWrite write{key, value.vt, {}, nullptr};
    if (value.vt == VT_LPWSTR && value.pwszVal != nullptr)
    {
        write.text = value.pwszVal;
        write.storage = value.pwszVal;
    }
    writes.push_back(write);
    return setValueResult;
}

HRESULT STDMETHODCALLTYPE CFakePropertyStore::Commit()
{
    ++commits;
    return commitResult;
}

HRESULT STDMETHODCALLTYPE CFakeEndpoint::Activate(REFIID, DWORD, PROPVARIANT*, void** object)
{
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CFakeEndpoint::OpenPropertyStore(DWORD access, IPropertyStore** properties)
{
    openMode = access;
    writableOpens += (access & 3) != STGM_READ ? 1 : 0;
    if (FAILED(openStoreResult))
    {
        *properties = nullptr;
        return openStoreResult;
    }
    store.AddRef();
    *properties = &store;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeEndpoint::GetId(LPWSTR* endpointId)
{
    if (FAILED(getIdResult))
    {
        *endpointId = nullptr;
        return getIdResult;
    }
    const std::size_t bytes = (id.size() + 1) * sizeof(wchar_t);
    *endpointId = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(*endpointId, id.c_str(), bytes);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeEndpoint::GetState(DWORD* endpointState)
{
    *endpointState = state;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeCollection::GetCount(UINT* count)
{
    *count = static_cast<UINT>(items.size());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeCollection::Item(UINT index, IMMDevice** device)
{
    if (index >= items.size() || index == failingItem)
    {
        *device = nullptr;
        return E_INVALIDARG;
    }
    items[index]->AddRef();
    *device = items[index];
    return S_OK;
}

CFakeEndpoint& CFakeEnumerator::Add(const std::wstring& id, DWORD state)
{
    endpoints.push_back(std::make_unique<CFakeEndpoint>(id, state));
    endpoints.back()->store.instanceId = L"SWD\\MMDEVAPI\\" + id;
    return *endpoints.back();
}

HRESULT STDMETHODCALLTYPE CFakeEnumerator::EnumAudioEndpoints(EDataFlow flow, DWORD states,
                                                              IMMDeviceCollection** devices)
{
    askedFlow = flow;
    askedStates = states;
    if (FAILED(enumResult))
    {
        *devices = nullptr;
        return enumResult;
    }
    collection.items.clear();
    collection.failingItem = failingItem;
    for (const auto& endpoint : endpoints)
    {
        if ((endpoint->state & states) != 0)
        {
            collection.items.push_back(endpoint.get());
        }
    }
    collection.AddRef();
    *devices = &collection;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CFakeEnumerator::GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** endpoint)
{
    *endpoint = nullptr;
    return E_NOTFOUND;
}

HRESULT STDMETHODCALLTYPE CFakeEnumerator::GetDevice(LPCWSTR, IMMDevice** device)
{
    *device = nullptr;
    return E_NOTFOUND;
}

HRESULT STDMETHODCALLTYPE CFakeEnumerator::RegisterEndpointNotificationCallback(IMMNotificationClient* client)
{
    ++registerCalls;
    if (FAILED(registerResult))
    {
        return registerResult;
    }
    registered = client;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
CFakeEnumerator::UnregisterEndpointNotificationCallback(IMMNotificationClient* client)
{
    ++unregisterCalls;
    if (client == registered)
    {
        registered = nullptr;
    }
    return unregisterResult;
}

namespace
{
CFakeEndpointWorld* g_world = nullptr;

HRESULT WINAPI FakeCreate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object)
{
    CFakeEndpointWorld& world = *g_world;
    ++world.createCalls;
    world.createdAsEnumerator = IsEqualCLSID(clsid, __uuidof(MMDeviceEnumerator)) && outer == nullptr &&
                                context == CLSCTX_ALL && IsEqualIID(iid, __uuidof(IMMDeviceEnumerator));
    if (FAILED(world.createResult) || !world.createdAsEnumerator)
    {
        *object = nullptr;
        return FAILED(world.createResult) ? world.createResult : REGDB_E_CLASSNOTREG;
    }
    world.enumerator.AddRef();
    *object = static_cast<IMMDeviceEnumerator*>(&world.enumerator);
    return S_OK;
}

HRESULT WINAPI FakeInitialise(LPVOID, DWORD model)
{
    ++g_world->initialiseCalls;
    g_world->initialiseModel = model;
    return g_world->initialiseResult;
}

void WINAPI FakeUninitialise()
{
    ++g_world->uninitialiseCalls;
}
} // namespace

struct CFakeEndpointWorld::Overrides
{
    CApiOverride<decltype(driver::DeviceApi::CoCreateInstance)> create{driver::Devices().CoCreateInstance,
                                                                       &FakeCreate};
    CApiOverride<decltype(platform::SystemApi::CoInitializeEx)> initialise{platform::Api().CoInitializeEx,
                                                                           &FakeInitialise};
    CApiOverride<decltype(platform::SystemApi::CoUninitialize)> uninitialise{platform::Api().CoUninitialize,
                                                                             &FakeUninitialise};
};

CFakeEndpointWorld::CFakeEndpointWorld() : m_overrides(std::make_unique<Overrides>())
{
    g_world = this;
}

CFakeEndpointWorld::~CFakeEndpointWorld()
{
    m_overrides.reset();
    g_world = nullptr;
}
