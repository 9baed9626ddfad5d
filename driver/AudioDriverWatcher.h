#pragma once
// The notification client registered with the multimedia device enumerator for the whole processing
// run. An endpoint that is added or becomes active is handed to the watcher's own worker thread
// (multithreaded apartment), which finds the endpoint's device instance id and calls the owner's
// handler with it: endpoints appear some time after their device starts, so they are named again
// then. The callbacks only queue (the system asks them to return at once and never to wait); the
// handler never runs inside one. The object counts its references and deletes itself when the last
// one goes; the enumerator does not add a reference while the object is registered.
#include "driver/ComRef.h"
#include "platform/UniqueHandle.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

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

    // Called on the worker thread with the device instance id (PKEY_Device_InstanceId) of an
    // endpoint that was added or became active.
    using EndpointHandler = std::function<void(const std::wstring& endpointInstanceId)>;

    // Initialises COM on the calling thread (once per object) in the multithreaded apartment: that
    // thread never pumps messages, which a single-threaded apartment would need. Then creates the
    // device enumerator, starts the worker when a handler is given, and registers this object with
    // the enumerator. A previous registration is dropped first.
    bool Register(EndpointHandler onEndpointActive = {});
    // Unregisters from the enumerator held, if any (a callback in progress has returned then), stops
    // the worker (waiting for a handler call in progress; endpoints still queued are dropped) and
    // releases the enumerator. Never from a callback of this object or from the handler.
    void Unregister();

private:
    CAudioDriver_Watcher() = default;
    // Reached only through Release. A registration still held is dropped here, before COM is
    // uninitialised, so that the enumerator never calls into a deleted object.
    ~CAudioDriver_Watcher();

    void Queue(LPCWSTR endpointId);
    void WorkerThread();
    void StopWorker();

    platform::UniqueComApartment m_apartment; // declared first: left after the enumerator is released
    std::atomic<ULONG> m_references{1};
    driver::CComRef<IMMDeviceEnumerator> m_enumerator;

    EndpointHandler m_onEndpointActive; // set while the worker runs
    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<std::wstring> m_queue; // endpoint ids, in the order they came
    bool m_workerStop = false;
    std::thread m_worker;
};
