#pragma once
// The configuration manager's notifications in this process: registrations made with
// CM_Register_Notification, and a hub thread that follows the shared world store (woken by its
// registry watch, or polling) and hands the callbacks to a small pool of delivery threads, as the
// system may: the callbacks of one registration run in order and never two at once, those of
// different registrations possibly at the same time. Interface registrations get arrival (0) and
// removal (1), device-handle registrations query-remove (2), query-remove-failed (3), remove-pending
// (4) and remove-complete (5). A query-remove callback that returns an error vetoes the removal; every
// query-remove callback that returns (in any process) is counted in the store, so the removal can
// judge the open handles once the last has returned. The order between a device's handle events and
// its interface removal follows the serving world's option.
//
// CM_Unregister_Notification waits for that registration's callback in progress. Called from inside
// a callback of the same registration it would wait for itself (a deadlock on Windows): the hub
// counts and logs the violation and returns without waiting.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueHandle.h"

#include <windows.h>
#include <cfgmgr32.h>

namespace simulation
{

struct DeviceRecord;

class CNotificationHub
{
public:
    static CNotificationHub& Instance();
    ~CNotificationHub();
    CNotificationHub(const CNotificationHub&) = delete;
    CNotificationHub& operator=(const CNotificationHub&) = delete;

    CONFIGRET Register(const CM_NOTIFY_FILTER* filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                       HCMNOTIFICATION* notification);
    CONFIGRET Unregister(HCMNOTIFICATION notification);

    // The simulated CreateFileW tells which device a handle belongs to.
    void RememberHandle(HANDLE handle, const std::wstring& instanceId);
    // Deliver now instead of at the next registry change (changes made by this process).
    void Wake();

private:
    CNotificationHub();

    struct Event
    {
        CM_NOTIFY_ACTION action;
        std::wstring link;                       // interface events
        DWORD position = 0;                      // handle events: 1-based position in the device's events
        std::shared_ptr<std::atomic<int>> batch; // counts down when the callback has returned
    };
    struct Registration
    {
        CM_NOTIFY_FILTER_TYPE type{};
        bool ourClass = false;   // interface registrations: our class, or all classes
        std::wstring instanceId; // handle registrations: the device
        DWORD record = 0;        // handle registrations: the device's record (ids are given again)
        PCM_NOTIFY_CALLBACK callback = nullptr;
        PVOID context = nullptr;
        // Interface registrations: links already reported, with the device record each belongs to (a
        // link given again to a new device is reported gone and then arrived).
        std::map<std::wstring, DWORD> knownLinks;
        size_t nextEvent = 0; // handle registrations: next event to hand out
        DWORD answered = 0;   // handle registrations: last query-remove answered
        std::mutex mutex;
        std::condition_variable idle;
        std::deque<Event> queue;
        bool active = true;
        bool scheduled = false; // in the ready queue or running
        bool running = false;   // a callback is in progress
    };
    using RegistrationPtr = std::shared_ptr<Registration>;

    void Run();
    void DeliverAll();
    // Hands the events to the registration's queue.
    void Post(const RegistrationPtr& reg, std::vector<Event> events);
    static void WaitForBatch(const std::shared_ptr<std::atomic<int>>& batch);
    void PostHandleEvents(const std::vector<RegistrationPtr>& regs, const std::vector<DeviceRecord>& devices,
                          const std::shared_ptr<std::atomic<int>>& batch);
    void PostInterfaceChanges(const std::vector<RegistrationPtr>& regs,
                              const std::vector<DeviceRecord>& devices, bool removals,
                              const std::shared_ptr<std::atomic<int>>& batch);
    // Failed reads and writes requested for devices whose channel this process holds.
    void ArmFaults(const std::vector<DeviceRecord>& devices);
    void Work();
    DWORD Invoke(Registration& reg, const Event& event);
    void Answer(Registration& reg, const Event& event, DWORD result);
    void EnsureThreads();

    std::mutex m_mutex; // registrations, handles, threads
    std::vector<RegistrationPtr> m_registrations;
    std::map<HANDLE, std::wstring> m_handles;
    struct FaultsSeen
    {
        DWORD record = 0;
        DWORD readSeq = 0;
        DWORD writeSeq = 0;
    };
    std::map<std::wstring, FaultsSeen> m_faultsSeen; // hub thread: read and write requests
    std::thread m_thread;
    platform::UniqueEvent m_wake;
    platform::UniqueEvent m_stop;

    // The delivery pool.
    std::mutex m_poolMutex;
    std::condition_variable m_poolWake;
    std::deque<RegistrationPtr> m_ready;
    std::vector<std::thread> m_workers;
    bool m_stopping = false;
};

} // namespace simulation
