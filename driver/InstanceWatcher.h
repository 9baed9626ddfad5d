#pragma once
// Finds the control interfaces of one device-interface class at start and follows their arrival and
// removal for the whole run, telling the owner about each one.
//
// The configuration manager's callbacks only queue what they were told and return: the owner hears
// of later arrivals and removals on the watcher's own report thread, in the order they came, so its
// work (registry, storage, threads, waiting for an instance to end) never holds up the system's
// notification threads.
#include "driver/DeviceHandles.h"
#include "driver/Devices.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CInstanceWatcher
{
public:
    CInstanceWatcher() = default;
    // Only drops the registration and forgets the links: the owner is not called from here, because
    // the derived part is already gone. An owner calls Stop before its own destruction.
    virtual ~CInstanceWatcher();
    CInstanceWatcher(const CInstanceWatcher&) = delete;
    CInstanceWatcher& operator=(const CInstanceWatcher&) = delete;

    // The owner's notifications, each with the interface's symbolic link.
    virtual void OnArrival(const wchar_t* link) = 0;
    virtual void OnRemoving(const wchar_t* link) = 0;
    virtual void OnRemoved(const wchar_t* link) = 0;

    // The interface class to follow; set before Start.
    void SetInterfaceClass(const GUID& interfaceClass) noexcept { m_interfaceClass = interfaceClass; }
    const GUID& InterfaceClass() const noexcept { return m_interfaceClass; }

    // Registers for notifications, then reports every interface already present through OnArrival.
    // True only if the present interfaces could be listed. With none present (or no memory for the
    // list) the registration stays until Stop.
    bool Start();

    // Unregisters, then OnRemoving for every known link in order of discovery, then OnRemoved for
    // each from the last one found to the first. Safe to call more than once.
    void Stop();

    // The links currently known, in order of discovery.
    std::vector<std::wstring> Links() const;

    // Waits until every notification queued so far has been reported to the owner.
    void Drain();
    // True while registered for notifications: after a Start that found no interface, arrivals are
    // still reported.
    bool Listening() const
    {
        std::lock_guard lock(m_mutex);
        return m_listening && m_notification;
    }

private:
    static DWORD CALLBACK NotificationCallback(HCMNOTIFICATION notification, PVOID context,
                                               CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA eventData,
                                               DWORD eventDataSize);
    void Arrival(const wchar_t* link);
    void Removal(const wchar_t* link);
    void Unregister() noexcept;
    // From the callback: hand the notification to the report thread.
    void Queue(bool arrival, const wchar_t* link);
    void ReportThread();
    void StartReporting();
    // Ends the report thread; notifications still queued are dropped (the watch is over).
    void StopReporting() noexcept;
    // The known link that names the same interface (letter case aside); m_mutex held.
    std::vector<std::wstring>::iterator Find(const wchar_t* link);

    GUID m_interfaceClass{};
    driver::UniqueNotification m_notification;
    // Serialises every step that reports to the owner (arrival, removal, stop), so that the owner
    // sees the notifications of one link in the order the list changed. Taken before m_mutex.
    std::mutex m_reportMutex;
    mutable std::mutex m_mutex;
    std::vector<std::wstring> m_links; // as first reported; compared without regard to case
    // Set while registered; notifications that come in after Stop are ignored.
    bool m_listening = false;

    struct Notice
    {
        bool arrival;
        std::wstring link;
    };
    std::mutex m_queueMutex;
    std::condition_variable m_queueChanged;
    std::deque<Notice> m_queue;
    bool m_reporting = false; // a notice taken from the queue is being reported
    bool m_queueOpen = false;
    std::thread m_reporter;
};
