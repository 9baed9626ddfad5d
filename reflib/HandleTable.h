#pragma once
// Objects handed to the host as opaque handles. Handles are drawn from one counter for all tables, so
// a handle of one kind is never valid as a handle of another kind, and a released handle is never
// reused. Look-ups take the table's lock only for the time of a hash-map find.
//
// The lock is a plain mutex on purpose: MinGW's std::shared_mutex sits on a winpthreads rwlock that is
// set up lazily on first use, and two threads using it first at the same moment can both be let in
// (libstdc++ ignores the failed lock in a release build). Two library instances creating their
// parameters at once then lost one of the two entries.
#include "library/ProcessingLibraryApi.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmar::reflib
{
inline VelmarHandle NextHandle()
{
    static std::atomic<VelmarHandle> next{0x1000};
    return next.fetch_add(1);
}

template <typename T> class CHandleTable
{
public:
    VelmarHandle Add(std::shared_ptr<T> item)
    {
        const VelmarHandle handle = NextHandle();
        std::lock_guard lock(m_mutex);
        m_items.emplace(handle, std::move(item));
        return handle;
    }

    std::shared_ptr<T> Find(VelmarHandle handle) const
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_items.find(handle);
        return found == m_items.end() ? nullptr : found->second;
    }

    std::shared_ptr<T> Remove(VelmarHandle handle)
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_items.find(handle);
        if (found == m_items.end())
        {
            return nullptr;
        }
        std::shared_ptr<T> item = std::move(found->second);
        m_items.erase(found);
        return item;
    }

    std::vector<std::pair<VelmarHandle, std::shared_ptr<T>>> All() const
    {
        std::lock_guard lock(m_mutex);
        return {m_items.begin(), m_items.end()};
    }

private:
    mutable std::mutex m_mutex;
    std::unordered_map<VelmarHandle, std::shared_ptr<T>> m_items;
};
} // namespace velmar::reflib
