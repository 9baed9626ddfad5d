#include "simulation/EndpointStore.h"

#include "platform/Boundary.h"
#include "platform/UniqueHandle.h"
#include "simulation/DeviceNames.h"
#include "simulation/PropertyKeyText.h"
#include "simulation/SimulatedServices.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include <propsys.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simulation
{

namespace
{

// PKEY_Device_InstanceId.
const GUID kInstanceIdFormat = {0x78c34fc8, 0x104a, 0x4aca, {0x9e, 0xa4, 0x52, 0x4d, 0x52, 0x99, 0x6e, 0x57}};
constexpr DWORD kInstanceIdPid = 256;

const GUID kClsidMMDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};

// IUnknown for one interface; the object deletes itself on the last Release.
template <typename Interface> class CComObject : public Interface
{
public:
    virtual ~CComObject() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
        {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface)))
        {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_count; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = --m_count;
        if (count == 0)
        {
            delete this;
        }
        return count;
    }

private:
    std::atomic<ULONG> m_count{1};
};

HRESULT CopyString(const std::wstring& text, LPWSTR* out)
{
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(::CoTaskMemAlloc(bytes));
    if (!copy)
    {
        return E_OUTOFMEMORY;
    }
    std::copy_n(text.c_str(), text.size() + 1, copy);
    *out = copy;
    return S_OK;
}

// The state the store reports: the configured one once the device started and its endpoints were
// made, else not present.
DWORD EffectiveState(const EndpointRecord& endpoint)
{
    const auto device = store::Find(endpoint.device);
    if (!device || device->state != DeviceState::Started || store::EndpointsDueInMs(*device) != 0)
    {
        return DEVICE_STATE_NOTPRESENT;
    }
    return endpoint.state;
}

// Every endpoint's reported state, and the time until the next endpoint of a started device appears
// (INFINITE when none is due).
std::map<std::wstring, DWORD> EndpointStates(DWORD& nextDueMs)
{
    std::map<std::wstring, DWORD> states;
    nextDueMs = INFINITE;
    for (const auto& device : store::Devices())
    {
        if (const DWORD due = store::EndpointsDueInMs(device); due != 0)
        {
            nextDueMs = std::min(nextDueMs, due);
        }
    }
    for (const auto& endpoint : store::Endpoints())
    {
        states.emplace(endpoint.id, EffectiveState(endpoint));
    }
    return states;
}

class CPropertyStore final : public CComObject<IPropertyStore>
{
public:
    CPropertyStore(std::wstring endpointId, bool writable) : m_id(std::move(endpointId)), m_writable(writable)
    {
    }

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override
    {
        if (!count)
        {
            return E_POINTER;
        }
        *count = static_cast<DWORD>(store::EndpointProperties(m_id).size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override
    {
        if (!key)
        {
            return E_POINTER;
        }
        const auto properties = store::EndpointProperties(m_id);
        if (index >= properties.size())
        {
            return E_INVALIDARG;
        }
        const auto parsed = ParsePropertyKeyText(properties[index].first);
        if (!parsed)
        {
            return E_FAIL;
        }
        key->fmtid = parsed->first;
        key->pid = parsed->second;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override
    {
        if (!value)
        {
            return E_POINTER;
        }
        PropVariantInit(value);
        if (IsEqualGUID(key.fmtid, kInstanceIdFormat) && key.pid == kInstanceIdPid)
        {
            // The endpoint's own device instance id, in the case of its endpoint id (lower case),
            // while the device tree lists its parent's children in upper case.
            const HRESULT hr = CopyString(EndpointChildId(m_id), &value->pwszVal);
            if (SUCCEEDED(hr))
            {
                value->vt = VT_LPWSTR;
            }
            return hr;
        }
        const auto text = store::EndpointProperty(m_id, PropertyKeyText(key.fmtid, key.pid));
        if (!text)
        {
            return S_OK; // VT_EMPTY: not set
        }
        const HRESULT hr = CopyString(*text, &value->pwszVal);
        if (SUCCEEDED(hr))
        {
            value->vt = VT_LPWSTR;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override
    {
        if (!m_writable)
        {
            return STG_E_ACCESSDENIED;
        }
        // The store keeps strings only; that is all the endpoint descriptions need.
        if (value.vt != VT_LPWSTR || !value.pwszVal)
        {
            return E_INVALIDARG;
        }
        if (!store::FindEndpoint(m_id))
        {
            return E_NOTFOUND;
        }
        // Kept in this store until Commit, as the system's endpoint store does.
        std::lock_guard lock(m_mutex);
        m_pending.emplace_back(PropertyKeyText(key.fmtid, key.pid), value.pwszVal);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Commit() override
    {
        if (!m_writable)
        {
            return STG_E_ACCESSDENIED;
        }
        std::lock_guard lock(m_mutex);
        for (const auto& [keyText, text] : m_pending)
        {
            if (!store::SetEndpointProperty(m_id, keyText, text))
            {
                return E_NOTFOUND;
            }
        }
        m_pending.clear();
        return S_OK;
    }

private:
    std::wstring m_id;
    bool m_writable;
    std::mutex m_mutex;
    std::vector<std::pair<std::wstring, std::wstring>> m_pending; // written, not yet committed
};

class CDevice final : public CComObject<IMMDevice>
{
public:
    explicit CDevice(std::wstring endpointId) : m_id(std::move(endpointId)) {}

    HRESULT STDMETHODCALLTYPE Activate(REFIID, DWORD, PROPVARIANT*, void** object) override
    {
        if (!object)
        {
            return E_POINTER;
        }
        *object = nullptr;
        // No audio clients here: the device world exchanges audio through the control channel.
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** properties) override
    {
        if (!properties)
        {
            return E_POINTER;
        }
        *properties = nullptr;
        const DWORD mode = access & 3;
        if (mode != STGM_READ && mode != STGM_WRITE && mode != STGM_READWRITE)
        {
            return E_INVALIDARG;
        }
        if (!store::FindEndpoint(m_id))
        {
            return E_NOTFOUND;
        }
        *properties = new CPropertyStore(m_id, mode != STGM_READ);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) override
    {
        if (!id)
        {
            return E_POINTER;
        }
        *id = nullptr;
        return CopyString(m_id, id);
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD* state) override
    {
        if (!state)
        {
            return E_POINTER;
        }
        const auto endpoint = store::FindEndpoint(m_id);
        *state = endpoint ? EffectiveState(*endpoint) : DEVICE_STATE_NOTPRESENT;
        return S_OK;
    }

private:
    std::wstring m_id;
};

class CDeviceCollection final : public CComObject<IMMDeviceCollection>
{
public:
    explicit CDeviceCollection(std::vector<std::wstring> ids) : m_ids(std::move(ids)) {}

    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override
    {
        if (!count)
        {
            return E_POINTER;
        }
        *count = static_cast<UINT>(m_ids.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override
    {
        if (!device)
        {
            return E_POINTER;
        }
        *device = nullptr;
        if (index >= m_ids.size())
        {
            return E_INVALIDARG;
        }
        *device = new CDevice(m_ids[index]);
        return S_OK;
    }

private:
    std::vector<std::wstring> m_ids; // a snapshot, as the system's collection is
};

class CDeviceEnumerator final : public CComObject<IMMDeviceEnumerator>
{
public:
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask,
                                                 IMMDeviceCollection** devices) override
    {
        if (!devices)
        {
            return E_POINTER;
        }
        *devices = nullptr;
        if (flow < eRender || flow > eAll || mask == 0 || (mask & ~DEVICE_STATEMASK_ALL))
        {
            return E_INVALIDARG;
        }
        std::vector<std::wstring> ids;
        for (const auto& endpoint : store::Endpoints())
        {
            if ((flow == eAll || endpoint.flow == static_cast<DWORD>(flow)) &&
                (EffectiveState(endpoint) & mask))
            {
                ids.push_back(endpoint.id);
            }
        }
        *devices = new CDeviceCollection(std::move(ids));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** device) override
    {
        if (!device)
        {
            return E_POINTER;
        }
        *device = nullptr;
        if (flow != eRender && flow != eCapture)
        {
            return E_INVALIDARG;
        }
        if (role < eConsole || role > eCommunications)
        {
            return E_INVALIDARG;
        }
        for (const auto& endpoint : store::Endpoints())
        {
            if (endpoint.flow == static_cast<DWORD>(flow) && EffectiveState(endpoint) == DEVICE_STATE_ACTIVE)
            {
                *device = new CDevice(endpoint.id);
                return S_OK;
            }
        }
        return E_NOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override
    {
        if (!id || !device)
        {
            return E_POINTER;
        }
        *device = nullptr;
        if (!store::FindEndpoint(id))
        {
            return E_NOTFOUND;
        }
        *device = new CDevice(id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RegisterEndpointNotificationCallback(IMMNotificationClient* client) override
    {
        if (!client)
        {
            return E_POINTER;
        }
        // No reference is taken: the client keeps itself alive while it is registered.
        std::lock_guard lock(m_mutex);
        if (m_deliveryThreadId == ::GetCurrentThreadId())
        {
            return CountCallbackViolation(L"RegisterEndpointNotificationCallback");
        }
        m_clients.push_back(client);
        if (!m_delivery.joinable())
        {
            // The delivery thread keeps the enumerator while clients are registered, as the system's
            // registration outlives the client's reference to the enumerator.
            m_stopDelivery.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            if (!m_stopDelivery)
            {
                m_clients.pop_back();
                return E_OUTOFMEMORY;
            }
            AddRef();
            DWORD ignored = INFINITE;
            m_delivered = EndpointStates(ignored);
            m_delivery = std::thread([this] { platform::CatchAtBoundary([this] { DeliveryLoop(); }); });
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override
    {
        if (!client)
        {
            return E_POINTER;
        }
        std::thread ended;
        {
            std::unique_lock lock(m_mutex);
            if (m_deliveryThreadId == ::GetCurrentThreadId())
            {
                // The system waits here for the callback in progress: this very one.
                return CountCallbackViolation(L"UnregisterEndpointNotificationCallback");
            }
            const auto it = std::find(m_clients.begin(), m_clients.end(), client);
            if (it == m_clients.end())
            {
                return E_NOTFOUND;
            }
            m_clients.erase(it);
            // A callback in progress may still be using the client: it is done when this returns.
            m_idle.wait(lock, [this] { return !m_calling; });
            if (m_clients.empty() && m_delivery.joinable())
            {
                ::SetEvent(m_stopDelivery.get());
                ended = std::move(m_delivery);
            }
        }
        if (ended.joinable())
        {
            ended.join();
            Release(); // the delivery thread's reference
        }
        return S_OK;
    }

private:
    HRESULT CountCallbackViolation(const wchar_t* call)
    {
        std::fwprintf(stderr,
                      L"device world: %ls called from an endpoint notification callback; on Windows "
                      L"this deadlocks\n",
                      call);
        std::fflush(stderr);
        store::IncrementRootValue(values::kUnregisterInCallback);
        return E_UNEXPECTED;
    }

    // Tells the clients what changed in the shared store since the last look, on this thread only
    // (the system calls notification clients on threads of its own).
    void DeliveryLoop()
    {
        HKEY root = nullptr;
        const platform::UniqueEvent changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        DWORD nextDueMs = INFINITE;
        EndpointStates(nextDueMs);
        for (;;)
        {
            store::ArmWorldKeyWatch(root, changed.get());
            const HANDLE waits[] = {m_stopDelivery.get(), changed.get()};
            const DWORD woken = ::WaitForMultipleObjects(2, waits, FALSE, nextDueMs);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
            {
                break;
            }
            std::map<std::wstring, DWORD> now = EndpointStates(nextDueMs);
            for (const auto& [id, state] : now)
            {
                const auto before = m_delivered.find(id);
                if (before == m_delivered.end())
                {
                    Deliver([&](IMMNotificationClient& client) { client.OnDeviceAdded(id.c_str()); });
                }
                if (before == m_delivered.end() || before->second != state)
                {
                    Deliver([&](IMMNotificationClient& client)
                            { client.OnDeviceStateChanged(id.c_str(), state); });
                }
            }
            for (const auto& [id, state] : m_delivered)
            {
                if (now.count(id) == 0)
                {
                    Deliver([&](IMMNotificationClient& client) { client.OnDeviceRemoved(id.c_str()); });
                }
            }
            m_delivered = std::move(now);
        }
        if (root)
        {
            ::RegCloseKey(root);
        }
    }

    template <typename Call> void Deliver(const Call& call)
    {
        std::unique_lock lock(m_mutex);
        // A copy: a client unregistered meanwhile is no longer called, one being called is waited for.
        const std::vector<IMMNotificationClient*> clients = m_clients;
        for (IMMNotificationClient* client : clients)
        {
            if (std::find(m_clients.begin(), m_clients.end(), client) == m_clients.end())
            {
                continue;
            }
            m_calling = true;
            m_deliveryThreadId = ::GetCurrentThreadId();
            lock.unlock();
            call(*client);
            lock.lock();
            m_deliveryThreadId = 0;
            m_calling = false;
            m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::vector<IMMNotificationClient*> m_clients; // registered, not referenced
    bool m_calling = false;                        // a client is being called
    DWORD m_deliveryThreadId = 0;                  // the thread calling a client, 0 when none
    platform::UniqueEvent m_stopDelivery;
    std::map<std::wstring, DWORD> m_delivered; // the states the clients were told (delivery thread)
    std::thread m_delivery;
};

} // namespace

IMMDeviceEnumerator* CreateEndpointEnumerator()
{
    return new CDeviceEnumerator();
}

namespace services
{

HRESULT WINAPI CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object)
{
    if (!IsEqualCLSID(clsid, kClsidMMDeviceEnumerator))
    {
        return ::CoCreateInstance(clsid, outer, context, iid, object);
    }
    if (!object)
    {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer)
    {
        return CLASS_E_NOAGGREGATION;
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    if (::CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED)
    {
        return CO_E_NOTINITIALIZED;
    }
    IMMDeviceEnumerator* enumerator = CreateEndpointEnumerator();
    const HRESULT hr = enumerator->QueryInterface(iid, object);
    enumerator->Release();
    return hr;
}

} // namespace services
} // namespace simulation
