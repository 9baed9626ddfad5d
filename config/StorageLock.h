#pragma once
// The claim on one instance's storage directory, shared by every process of the machine: a named
// mutex per instance id. A processing instance holds it from the start of its thread until its
// library processes (and with them their last save of "state.json") have ended; the device removal
// command takes it before it deletes the directory. So a removal never races an instance's final save
// (the directory would come back after the command returned), and a new instance for a reused id
// never starts on storage that an older instance of the same id still writes.
//
// A mutex belongs to the thread that acquired it: a lock is released (destroyed) on that thread.
// Any user may create a mutex in the Global namespace (SeCreateGlobalPrivilege guards file mappings
// and links only), so a claim is made with a security descriptor of its own (the local system and the
// Administrators), opened asking only for what a wait needs, and a name that already exists is
// trusted only when its owner is (config/TrustedOwner.h): a claim a local user made first is refused.
#include "platform/UniqueHandle.h"

#include <string>

class CStorageLock
{
public:
    enum class Outcome
    {
        Acquired,
        Stopped,  // the stop event came first
        TimedOut, // another holder kept it for the whole time
        Failed,   // the mutex could not be created or waited on (the system error is in Error()), or
                  // it exists with an owner that is not trusted (ERROR_INVALID_OWNER)
    };

    CStorageLock() = default;
    // Releases the claim when it is held.
    ~CStorageLock();
    CStorageLock(CStorageLock&& other) noexcept;
    CStorageLock& operator=(CStorageLock&& other) noexcept;
    CStorageLock(const CStorageLock&) = delete;
    CStorageLock& operator=(const CStorageLock&) = delete;

    // Waits until the claim on instanceId is free, stop (may be null) is signalled or timeoutMs pass.
    // An earlier holder that ended without releasing it (its thread or process died) counts as free.
    static CStorageLock Acquire(const std::wstring& instanceId, HANDLE stop, DWORD timeoutMs);

    // The object name for an instance id: ids are compared without regard to case, object names are not.
    static std::wstring MutexName(const std::wstring& instanceId);

    Outcome Result() const noexcept { return m_outcome; }
    bool Held() const noexcept { return m_outcome == Outcome::Acquired; }
    DWORD Error() const noexcept { return m_error; }

private:
    void Release() noexcept;

    platform::UniqueHandle m_mutex;
    Outcome m_outcome = Outcome::Failed;
    DWORD m_error = 0;
};
