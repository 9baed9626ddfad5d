#include "driver/AudioDriverWatcher.h"

#include "diagnostics/Log.h"
#include "driver/Devices.h"
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

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnDeviceStateChanged(LPCWSTR, DWORD)
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CAudioDriver_Watcher::OnDeviceAdded(LPCWSTR)
{
    return S_OK;
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

bool CAudioDriver_Watcher::Register()
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
    if (FAILED(unregistered))
    {
        VLOG(velmar::LogSeverity::Warn) << L"Failed to unregister endpoint notification callback"
                                        << ToHex(static_cast<std::uint32_t>(unregistered));
    }
    m_enumerator.Reset();
}
