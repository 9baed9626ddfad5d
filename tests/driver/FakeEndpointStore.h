#pragma once
// Stands where the system's audio endpoint store stands: a device enumerator with endpoints, their
// property stores and the notification registration, all counting their references. The test owns
// every object; Release never deletes.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <mmdeviceapi.h>

template <typename Interface> class CFakeUnknown : public Interface
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface)))
        {
            AddRef();
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }

    // References handed out and not yet released.
    std::atomic<long> references{0};
};

struct PropertyWrite
{
    PROPERTYKEY key;
    VARTYPE type;
    std::wstring text;
    const void* storage;
};

class CFakePropertyStore final : public CFakeUnknown<IPropertyStore>
{
public:
    HRESULT setValueResult = S_OK;
    HRESULT commitResult = S_OK;
    // PKEY_Device_InstanceId of the endpoint; empty: the property is not set.
    std::wstring instanceId;
    std::vector<PropertyWrite> writes;
    int commits = 0;

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override;
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override;
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override;
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override;
    HRESULT STDMETHODCALLTYPE Commit() override;
};

class CFakeEndpoint final : public CFakeUnknown<IMMDevice>
{
public:
    CFakeEndpoint(std::wstring endpointId, DWORD endpointState)
        : id(std::move(endpointId)), state(endpointState)
    {
    }

    std::wstring id;
    DWORD state;
    HRESULT openStoreResult = S_OK;
    HRESULT getIdResult = S_OK;
    DWORD openMode = 0xffffffff; // of the last opening
    int writableOpens = 0;
    CFakePropertyStore store;

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* parameters,
                                       void** object) override;
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** properties) override;
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* endpointId) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD* endpointState) override;
};

class CFakeCollection final : public CFakeUnknown<IMMDeviceCollection>
{
public:
    std::vector<CFakeEndpoint*> items;
    // Item fails for this index.
    UINT failingItem = 0xffffffff;

    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override;
};

class CFakeEnumerator final : public CFakeUnknown<IMMDeviceEnumerator>
{
public:
    CFakeEndpoint& Add(const std::wstring& id, DWORD state = DEVICE_STATE_ACTIVE);

    std::vector<std::unique_ptr<CFakeEndpoint>> endpoints;
    CFakeCollection collection;
    HRESULT enumResult = S_OK;
    UINT failingItem = 0xffffffff;
    EDataFlow askedFlow = eRender;
    DWORD askedStates = 0;
    HRESULT registerResult = S_OK;
    HRESULT unregisterResult = S_OK;
    IMMNotificationClient* registered = nullptr;
    int registerCalls = 0;
    int unregisterCalls = 0;

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD states,
                                                 IMMDeviceCollection** devices) override;
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                      IMMDevice** endpoint) override;
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override;
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override;
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override;
};

// Serves CoCreateInstance of the device enumerator from one fake, through the device table, and
// counts the calling thread's COM initialisations through the system table.
class CFakeEndpointWorld
{
public:
    CFakeEndpointWorld();
    ~CFakeEndpointWorld();
    CFakeEndpointWorld(const CFakeEndpointWorld&) = delete;
    CFakeEndpointWorld& operator=(const CFakeEndpointWorld&) = delete;

    CFakeEnumerator enumerator;
    HRESULT createResult = S_OK;
    HRESULT initialiseResult = S_OK;
    int createCalls = 0;
    int initialiseCalls = 0;
    DWORD initialiseModel = 0xffffffff;
    int uninitialiseCalls = 0;
    // The arguments of the last creation were those for the enumerator.
    bool createdAsEnumerator = false;

private:
    struct Overrides;
    std::unique_ptr<Overrides> m_overrides;
};
