#pragma once
// Objects handed to the host as opaque handles. Handles are drawn from one counter for all tables, so
// a handle of one kind is never valid as a handle of another kind, and a released handle is never
// reused. Look-ups take a shared lock only for the time of a hash-map find.
#include "library/ProcessingLibraryApi.h"

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmar::reflib
{
VelmarHandle NextHandle();

template <typename T> class CHandleTable
{
public:
    VelmarHandle Add(std::shared_ptr<T> item)
    {
        const VelmarHandle handle = NextHandle();
        std::unique_lock lock(m_mutex);
        m_items.emplace(handle, std::move(item));
        return handle;
    }

    std::shared_ptr<T> Find(VelmarHandle handle) const
    {
        std::shared_lock lock(m_mutex);
        const auto found = m_items.find(handle);
        return found == m_items.end() ? nullptr : found->second;
    }

    std::shared_ptr<T> Remove(VelmarHandle handle)
    {
        std::unique_lock lock(m_mutex);
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
        std::shared_lock lock(m_mutex);
        return {m_items.begin(), m_items.end()};
    }

private:
    mutable std::shared_mutex m_mutex;
    std::unordered_map<VelmarHandle, std::shared_ptr<T>> m_items;
};
} // namespace velmar::reflib
