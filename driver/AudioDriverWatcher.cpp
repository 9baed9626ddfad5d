#include "driver/AudioDriverWatcher.h"

#include "diagnostics/Log.h"
#include "driver/Devices.h"
#include "driver/EndpointProperty.h"
#include "platform/Boundary.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"

driver::CComRef<CAudioDriver_Watcher> CAudioDriver_Watcher::Create()
{
    // The one place that creates the object; Release deletes it.
    return driver::CComRef<CAudioDriver_Watcher>(new CAudioDriver_Watcher());
}

CAudioDriver_Watcher::~CAudioDriver_Watcher()
{
    Unregister();
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
    {
        return E_POINTER;
    }
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IMMNotificationClient)))
    {
        AddRef();
        *object = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAudioDriver_Watcher::AddRef()
{
    return ++m_references;
}

ULONG STDMETHODCALLTYPE CAudioDriver_Watcher::Release()
{
    const ULONG remaining = --m_references;
    if (remaining == 0)
    {
        delete this;
    }
    return remaining;
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState)
{
    if (newState == DEVICE_STATE_ACTIVE)
    {
        Queue(deviceId);
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnDeviceAdded(LPCWSTR deviceId)
{
    Queue(deviceId);
    return S_OK;
}

void CAudioDriver_Watcher::Queue(LPCWSTR endpointId)
{
    platform::CatchAtBoundary(
        [&]
        {
            if (endpointId == nullptr)
            {
                return;
            }
            {
                std::lock_guard lock(m_queueMutex);
                if (!m_worker.joinable() || m_workerStop)
                {
                    return;
                }
                m_queue.emplace_back(endpointId);
            }
            m_queueChanged.notify_one();
        });
}

void CAudioDriver_Watcher::WorkerThread()
{
    platform::CatchAtBoundary(
        [&]
        {
            const platform::UniqueComApartment apartment = platform::EnterComApartment(COINIT_MULTITHREADED);
            std::unique_lock lock(m_queueMutex);
            for (;;)
            {
                m_queueChanged.wait(lock, [this] { return m_workerStop || !m_queue.empty(); });
                if (m_workerStop)
                {
                    return;
                }
                const std::wstring endpointId = std::move(m_queue.front());
                m_queue.pop_front();
                lock.unlock();
                platform::CatchAtBoundary(
                    [&]
                    {
                        // The enumerator lives until the worker has been stopped.
                        driver::CComRef<IMMDevice> endpoint;
                        if (SUCCEEDED(m_enumerator->GetDevice(endpointId.c_str(), endpoint.Put())) &&
                            endpoint)
                        {
                            if (const auto instanceId = EndpointDeviceInstanceId(*endpoint.Get()))
                            {
                                m_onEndpointActive(*instanceId);
                            }
                        }
                    },
                    [](const std::exception* error)
                    {
                        VLOG(velmar::LogSeverity::Error) << L"Failed to name an audio endpoint: "
                                                         << (error != nullptr ? error->what() : "unknown");
                    });
                lock.lock();
            }
        },
        [](const std::exception* error)
        {
            VLOG(velmar::LogSeverity::Error)
                << L"The endpoint worker ended: " << (error != nullptr ? error->what() : "unknown");
        });
}

void CAudioDriver_Watcher::StopWorker()
{
    {
        std::lock_guard lock(m_queueMutex);
        m_workerStop = true;
        m_queue.clear();
    }
    m_queueChanged.notify_all();
    if (m_worker.joinable())
    {
        m_worker.join();
    }
    std::lock_guard lock(m_queueMutex);
    m_workerStop = false;
    m_onEndpointActive = nullptr;
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnDeviceRemoved(LPCWSTR)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnDefaultDeviceChanged(EDataFlow, ERole, LPCWSTR)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY)
{
    return S_OK;
}

bool CAudioDriver_Watcher::Register(EndpointHandler onEndpointActive)
{
    if (!m_apartment)
    {
        const HRESULT initialised = platform::Api().CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(initialised))
        {
            VLOG(velmar::LogSeverity::Warn)
                << L"Failed to CoInitializeEx: " << ToHex(static_cast<std::uint32_t>(initialised));
            return false;
        }
        m_apartment.reset(true);
    }
    Unregister();
    const HRESULT created =
        driver::Devices().CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                           __uuidof(IMMDeviceEnumerator), m_enumerator.PutVoid());
    if (FAILED(created) || !m_enumerator)
    {
        m_enumerator.Reset();
        VLOG(velmar::LogSeverity::Warn)
            << L"Failed to create device enumerator: " << ToHex(static_cast<std::uint32_t>(created));
        return false;
    }
    if (onEndpointActive)
    {
        std::lock_guard lock(m_queueMutex);
        m_onEndpointActive = std::move(onEndpointActive);
        m_worker = std::thread(&CAudioDriver_Watcher::WorkerThread, this);
    }
    const HRESULT registered = m_enumerator->RegisterEndpointNotificationCallback(this);
    if (FAILED(registered))
    {
        VLOG(velmar::LogSeverity::Warn) << L"Failed to register endpoint notification callback: "
                                        << ToHex(static_cast<std::uint32_t>(registered));
        Unregister();
        return false;
    }
    return true;
}

void CAudioDriver_Watcher::Unregister()
{
    if (!m_enumerator)
    {
        return;
    }
    const HRESULT unregistered = m_enumerator->UnregisterEndpointNotificationCallback(this);
    if (FAILED(unregistered) && unregistered != E_NOTFOUND)
    {
        VLOG(velmar::LogSeverity::Warn) << L"Failed to unregister endpoint notification callback"
                                        << ToHex(static_cast<std::uint32_t>(unregistered));
    }
    StopWorker();
    m_enumerator.Reset();
}
