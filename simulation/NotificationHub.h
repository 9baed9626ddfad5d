#pragma once
// The configuration manager's notifications in this process: registrations made with
// CM_Register_Notification and one delivery thread that follows the shared world store (woken by its
// registry watch, or polling) and calls the callbacks as the system does: interface arrival (0) and
// removal (1) for interface registrations, query-remove (2), query-remove-failed (3), remove-pending
// (4) and remove-complete (5) for device-handle registrations. A handle registration that returns an
// error from a query-remove vetoes the removal.
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <cfgmgr32.h>

namespace simulation
{

class CNotificationHub
{
public:
    static CNotificationHub& Instance();
    ~CNotificationHub();

    CONFIGRET Register(const CM_NOTIFY_FILTER* filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                       HCMNOTIFICATION* notification);
    // Waits for a callback of this registration in progress on the delivery thread (unless called
    // from that thread, where waiting would never end).
    CONFIGRET Unregister(HCMNOTIFICATION notification);

    // The simulated CreateFileW tells which device a handle belongs to.
    void RememberHandle(HANDLE handle, const std::wstring& instanceId);
    // Deliver now instead of at the next registry change (changes made by this process).
    void Wake();

private:
    CNotificationHub();
    struct Registration
    {
        CM_NOTIFY_FILTER_TYPE type;
        bool ourClass = false;   // interface registrations: our class, or all classes
        std::wstring instanceId; // handle registrations: the device
        PCM_NOTIFY_CALLBACK callback;
        PVOID context;
        std::set<std::wstring> knownLinks; // interface registrations: links already reported
        size_t nextEvent = 0;              // handle registrations: next event to deliver
        std::mutex mutex;
        std::condition_variable idle;
        bool active = true;
        bool inCallback = false;
    };

    void Run();
    void DeliverAll();
    DWORD Invoke(Registration& reg, CM_NOTIFY_ACTION action, const std::wstring& link);
    void EnsureThread();

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Registration>> m_registrations;
    std::map<HANDLE, std::wstring> m_handles;
    std::thread m_thread;
    std::atomic<DWORD> m_threadId{0};
    HANDLE m_wake = nullptr;
    HANDLE m_stop = nullptr;
    std::mutex m_deliveryMutex; // one delivery pass at a time
};

} // namespace simulation
