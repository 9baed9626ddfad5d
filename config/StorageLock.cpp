#include "config/StorageLock.h"

#include "config/TrustedOwner.h"
#include "platform/SystemApi.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwctype>
#include <utility>

namespace
{
// Owned by the Administrators, for the local system and the Administrators: the service and the
// elevated administration commands (both may name that group as owner). The owner is given rather
// than left to the token: Wine makes the creator's primary group the owner.
constexpr wchar_t kClaimSddl[] = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
} // namespace

CStorageLock::~CStorageLock()
{
    Release();
}

CStorageLock::CStorageLock(CStorageLock&& other) noexcept
    : m_mutex(std::move(other.m_mutex)), m_outcome(std::exchange(other.m_outcome, Outcome::Failed)),
      m_error(other.m_error)
{
}

CStorageLock& CStorageLock::operator=(CStorageLock&& other) noexcept
{
    if (this != &other)
    {
        Release();
        m_mutex = std::move(other.m_mutex);
        m_outcome = std::exchange(other.m_outcome, Outcome::Failed);
        m_error = other.m_error;
    }
    return *this;
}

void CStorageLock::Release() noexcept
{
    if (m_outcome == Outcome::Acquired && m_mutex)
    {
        platform::Api().ReleaseMutex(m_mutex.get());
    }
    m_outcome = Outcome::Failed;
    m_mutex.reset();
}

std::wstring CStorageLock::MutexName(const std::wstring& instanceId)
{
    std::wstring name = L"Global\\VELMAR.ORVANE.CL.drv.storage.";
    for (const wchar_t c : instanceId)
    {
        // Backslashes are not allowed in an object name below its namespace.
        name.push_back(c == L'\\' ? L'#' : static_cast<wchar_t>(std::towupper(c)));
    }
    return name;
}

CStorageLock CStorageLock::Acquire(const std::wstring& instanceId, HANDLE stop, DWORD timeoutMs)
{
    CStorageLock lock;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kClaimSddl, SDDL_REVISION_1, &raw, nullptr))
    {
        lock.m_error = GetLastError();
        return lock;
    }
    const platform::UniqueLocalMemory security(raw);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), raw, FALSE};
    // Waiting and releasing need SYNCHRONIZE only, and reading the owner READ_CONTROL: asking for no
    // more lets an administrator's command open the claim the service made, whatever its security.
    lock.m_mutex.reset(platform::Api().CreateMutexExW(&attributes, MutexName(instanceId).c_str(), 0,
                                                      SYNCHRONIZE | READ_CONTROL));
    if (!lock.m_mutex)
    {
        lock.m_error = GetLastError();
        return lock;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS)
    {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR found = nullptr;
        const DWORD error =
            platform::Api().GetSecurityInfo(lock.m_mutex.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION,
                                            &owner, nullptr, nullptr, nullptr, &found);
        const platform::UniqueLocalMemory foundSecurity(found);
        if (error != ERROR_SUCCESS || !IsTrustedOwner(owner))
        {
            lock.m_error = error != ERROR_SUCCESS ? error : ERROR_INVALID_OWNER;
            lock.m_mutex.reset();
            return lock;
        }
    }
    const HANDLE handles[2] = {lock.m_mutex.get(), stop};
    const DWORD count = stop != nullptr ? 2 : 1;
    const DWORD waited = platform::Api().WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED_0)
    {
        lock.m_outcome = Outcome::Acquired;
    }
    else if (count == 2 && waited == WAIT_OBJECT_0 + 1)
    {
        lock.m_outcome = Outcome::Stopped;
    }
    else if (waited == WAIT_TIMEOUT)
    {
        lock.m_outcome = Outcome::TimedOut;
    }
    else
    {
        lock.m_error = GetLastError();
    }
    if (!lock.Held())
    {
        lock.m_mutex.reset();
    }
    return lock;
}
