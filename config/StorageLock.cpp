#include "config/StorageLock.h"

#include <cwctype>
#include <utility>

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
    lock.m_mutex.reset(platform::Api().CreateMutexW(nullptr, FALSE, MutexName(instanceId).c_str()));
    if (!lock.m_mutex)
    {
        lock.m_error = GetLastError();
        return lock;
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
