#pragma once
// The processing manager of one processing run: checks the library, prepares storage and the
// environment, then lets the device watcher drive it: every virtual audio device that is present or
// arrives gets one CInstance, keyed by its instance id; every device that goes has its instance
// stopped, destroyed and forgotten.
//
// Instances of removed devices are destroyed on the manager's own retirement thread, never on the
// system's notification thread: destroying an instance unregisters its device-handle notification,
// which must not happen inside a notification callback (the system waits there for callbacks in
// progress).
#include "config/Config.h"
#include "driver/AudioDriverWatcher.h"
#include "driver/InstanceWatcher.h"
#include "driver/LinkText.h"
#include "library/DynLoader.h"
#include "platform/Event.h"
#include "platform/ExportedVariable.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class CInstance;

class CProcessing
{
public:
    class CWatcher : public CInstanceWatcher
    {
    public:
        explicit CWatcher(CProcessing& owner);
        void OnArrival(const wchar_t* link) override;
        void OnRemoving(const wchar_t* link) override;
        void OnRemoved(const wchar_t* link) override;

    private:
        CProcessing& m_owner;
    };

    // Builds the configuration (its errors propagate) and the registry change event; then passes the
    // one-manager guard: std::runtime_error "Can not have multiple CProcessing instances".
    explicit CProcessing(velmar::helper::CDynLoader* library);
    // The device watch must have been stopped (StopDeviceWatch) before.
    ~CProcessing();
    CProcessing(const CProcessing&) = delete;
    CProcessing& operator=(const CProcessing&) = delete;

    // Library check, global parameters, storage of the known instances, environment, endpoint watcher,
    // device watcher. True when the device watch runs (at least one device was present).
    bool Start();
    // True while the device watch listens for arrivals, also after a Start that found no device.
    bool WatchesDevices() const { return m_watcher.Listening(); }
    // Runs on the calling thread until the stop event is set; reacts to changes of the global
    // parameters by restarting every instance. RegistryError "Cannot watch the registry" when the
    // watch cannot be armed.
    void WatchGlobalParameters();
    // Stops the device watcher (every instance is asked to stop, then each is destroyed) and waits,
    // bounded, until the retirement thread has destroyed every instance handed to it. False when it
    // gave up (logged): the manager must then not be destroyed (its threads still use it); the
    // process ends without it.
    bool StopDeviceWatch();
    // True once StopDeviceWatch gave up.
    bool RetirementAbandoned() const noexcept { return m_retirementAbandoned; }

    void AddInstance(const std::wstring& path);
    void OnRemoving(const std::wstring& path);
    void RemoveInstance(const std::wstring& path);

    // Writes the display name of the instance whose device has this endpoint (a child of the device, by
    // its device instance id, letter case aside) into the endpoint's description; nothing when no
    // instance has it. Called on the endpoint watcher's worker when an endpoint appears or becomes
    // active, which may be long after the instance named its device at pass creation.
    void NameEndpoint(const std::wstring& endpointInstanceId);

    // The ids of the instances in the table (for diagnostics and tests).
    std::vector<std::wstring> InstanceIds() const;

private:
    struct Retired
    {
        std::shared_ptr<CInstance> instance;
        std::wstring id; // "Instance removed: " + id once it is gone; empty for a duplicate
    };
    void Retire(Retired retired);
    void RetirementThread();
    void ExportCertificatePaths();
    // The display name the instance with this id publishes; nothing when it is gone.
    std::optional<std::wstring> PublishedName(const std::wstring& id) const;

    velmar::helper::CDynLoader* m_library;
    CWatcher m_watcher;
    driver::CComRef<CAudioDriver_Watcher> m_endpointWatcher;
    mutable std::mutex m_instancesMutex;
    // Keyed by instance id, letter case aside: the same device may be reported in either case.
    std::map<std::wstring, std::shared_ptr<CInstance>, driver::CNoCaseLess> m_instances;
    CConfig m_config;
    CEvent m_registryChange;
    platform::CExportedVariable m_certificatePath{L"SSL_CERTIFICATE_PATH"};
    platform::CExportedVariable m_privateKeyPath{L"SSL_PRIVATE_PATH"};

    std::mutex m_retiredMutex;
    std::condition_variable m_retiredCondition;
    std::deque<Retired> m_retired;
    bool m_retiring = false; // the thread is destroying an instance taken from the queue
    bool m_retirementStop = false;
    bool m_retirementAbandoned = false;
    std::thread m_retirementThread;
};
