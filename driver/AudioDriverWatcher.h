#pragma once
// The notification client registered with the multimedia device enumerator for the whole processing
// run. Its notifications do nothing; the registration keeps the endpoint store informed about the
// program. The object counts its references and deletes itself when the last one goes.
#include "driver/ComRef.h"
#include "platform/UniqueHandle.h"

#include <atomic>

#include <windows.h>
#include <mmdeviceapi.h>

class CAudioDriver_Watcher final : public IMMNotificationClient
{
public:
    // A new watcher with one reference, held by the returned pointer.
    static driver::CComRef<CAudioDriver_Watcher> Create();

    CAudioDriver_Watcher(const CAudioDriver_Watcher&) = delete;
    CAudioDriver_Watcher& operator=(const CAudioDriver_Watcher&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMMNotificationClient
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState) override;
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceId, const PROPERTYKEY key) override;

    // Initialises COM on the calling thread (once per object) in the multithreaded apartment: that
    // thread never pumps messages, which a single-threaded apartment would need. Then creates the
    // device enumerator and registers this object with it. A previous registration is dropped first.
    bool Register();
    // Unregisters from the enumerator held, if any, and releases it.
    void Unregister();

private:
    CAudioDriver_Watcher() = default;
    // Reached only through Release. A registration still held is dropped here, before COM is
    // uninitialised, so that the enumerator never calls into a deleted object.
    ~CAudioDriver_Watcher();

    platform::UniqueComApartment m_apartment; // declared first: left after the enumerator is released
    std::atomic<ULONG> m_references{1};
    driver::CComRef<IMMDeviceEnumerator> m_enumerator;
};
