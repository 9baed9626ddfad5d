#pragma once
// Stands where the configuration manager stands: takes notification registrations through the device
// table, lets a test deliver notifications from threads of its own, and serves the interface list.
#include "ApiOverride.h"
#include "driver/Devices.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

// A reader-writer lock on the system's slim lock: MinGW's std::shared_mutex is a winpthreads rwlock set
// up lazily on first use, which can let two first users in at once.
class CSlimLock
{
public:
    void lock() noexcept { AcquireSRWLockExclusive(&m_lock); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&m_lock); }
    void lock_shared() noexcept { AcquireSRWLockShared(&m_lock); }
    void unlock_shared() noexcept { ReleaseSRWLockShared(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class CFakeConfigManager
{
public:
    struct Registration
    {
        CM_NOTIFY_FILTER filter{};
        PVOID context = nullptr;
        PCM_NOTIFY_CALLBACK callback = nullptr;
        HCMNOTIFICATION handle = nullptr;
        bool active = true;
        // Deliveries hold it shared; unregistering takes it exclusively, so that, as with the real
        // service, no callback is running or starts once unregistering returned.
        CSlimLock delivery;
    };

    CFakeConfigManager();
    ~CFakeConfigManager();
    CFakeConfigManager(const CFakeConfigManager&) = delete;
    CFakeConfigManager& operator=(const CFakeConfigManager&) = delete;

    // What the next registrations return; anything but CR_SUCCESS registers nothing.
    CONFIGRET registerResult = CR_SUCCESS;
    // Run once, on the calling thread, by the next registration once it is made (before it returns),
    // and by the next unregistering before it takes effect: a notification that arrives just then.
    std::function<void(Registration&)> onRegistered;
    std::function<void(Registration&)> onUnregistering;

    // The interface list: the strings, each with its terminator, and the list's final terminator.
    void SetInterfaces(const std::vector<std::wstring>& links);
    // Run once, after the next successful size query: the interfaces change before the list is read.
    std::function<void()> afterSize;
    CONFIGRET sizeResult = CR_SUCCESS;
    DWORD sizeLastError = 0;
    CONFIGRET listResult = CR_SUCCESS;
    DWORD listLastError = 0;
    int sizeCalls = 0;
    int listCalls = 0;
    GUID sizeClass{};
    ULONG sizeFlags = 0;
    ULONG listFlags = 0;
    ULONG listLength = 0;

    std::size_t RegistrationCount() const;
    std::size_t ActiveCount() const;
    int UnregisterCalls() const;
    // The registration made index-th (0 = first); stays valid for the fake's life.
    Registration& At(std::size_t index);
    Registration& Last();

    // Calls the registration's callback the way the service does: not once it is unregistered.
    // Returns the callback's result, or ERROR_SUCCESS when nothing was delivered.
    DWORD Deliver(Registration& registration, CM_NOTIFY_ACTION action, const std::wstring& link = L"");
    // Calls the callback even when unregistered: a late notification.
    DWORD DeliverRaw(Registration& registration, CM_NOTIFY_ACTION action, const std::wstring& link = L"");

private:
    static CONFIGRET WINAPI Register(PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
                                     PHCMNOTIFICATION notification);
    static CONFIGRET WINAPI Unregister(HCMNOTIFICATION notification);
    static CONFIGRET WINAPI ListSize(PULONG length, LPGUID interfaceClass, DEVINSTID_W deviceId, ULONG flags);
    static CONFIGRET WINAPI List(LPGUID interfaceClass, DEVINSTID_W deviceId, PWCHAR buffer, ULONG length,
                                 ULONG flags);

    mutable std::mutex m_mutex;
    std::deque<std::unique_ptr<Registration>> m_registrations;
    int m_unregisterCalls = 0;
    std::vector<wchar_t> m_list;

    CApiOverride<decltype(driver::DeviceApi::CM_Register_Notification)> m_register;
    CApiOverride<decltype(driver::DeviceApi::CM_Unregister_Notification)> m_unregister;
    CApiOverride<decltype(driver::DeviceApi::CM_Get_Device_Interface_List_SizeW)> m_size;
    CApiOverride<decltype(driver::DeviceApi::CM_Get_Device_Interface_ListW)> m_listCall;
};
