#include "simulation/ChannelIo.h"

#include "simulation/DeviceNames.h"
#include "simulation/WorldStore.h"
#include "simulation/WorldValues.h"

#include "platform/SystemApi.h"

#include <array>
#include <atomic>
#include <mutex>

namespace simulation
{

namespace
{

constexpr size_t kSlots = 64;

// One device with a channel handle in this process.
struct Slot
{
    std::atomic<HANDLE> handle{nullptr};
    std::atomic<DWORD> failRead{0};
    std::atomic<DWORD> failWrite{0};
    std::atomic<uint32_t> failed{0};
    std::atomic<uint32_t> cancelled{0};
    std::atomic<uint32_t> failedReads{0};
    std::atomic<uint32_t> failedWrites{0};
};

struct Published
{
    uint32_t failed = 0;
    uint32_t cancelled = 0;
    uint32_t failedReads = 0;
    uint32_t failedWrites = 0;
};

std::array<Slot, kSlots> g_slots;
// Written under the mutex, before the slot's handle is published.
std::array<std::wstring, kSlots> g_devices;
std::array<Published, kSlots> g_published;
std::mutex g_mutex;

decltype(&::ReadFile) g_readFile = nullptr;
decltype(&::WriteFile) g_writeFile = nullptr;
decltype(&::GetOverlappedResult) g_overlappedResult = nullptr;

Slot* Find(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    {
        return nullptr;
    }
    for (auto& slot : g_slots)
    {
        if (slot.handle.load(std::memory_order_acquire) == handle)
        {
            return &slot;
        }
    }
    return nullptr;
}

void CountFailure(Slot& slot, DWORD error)
{
    if (error == ERROR_IO_PENDING || error == ERROR_IO_INCOMPLETE)
    {
        return;
    }
    if (error == ERROR_OPERATION_ABORTED)
    {
        slot.cancelled.fetch_add(1, std::memory_order_relaxed);
    }
    else
    {
        slot.failed.fetch_add(1, std::memory_order_relaxed);
    }
}

// A read or write the device was asked to fail: refused before any I/O, with the code.
bool Injected(Slot* slot, std::atomic<DWORD> Slot::*request, std::atomic<uint32_t> Slot::*count)
{
    if (slot == nullptr)
    {
        return false;
    }
    const DWORD error = (slot->*request).exchange(0);
    if (error == 0)
    {
        return false;
    }
    (slot->*count).fetch_add(1, std::memory_order_relaxed);
    slot->failed.fetch_add(1, std::memory_order_relaxed);
    ::SetLastError(error);
    return true;
}

BOOL WINAPI ObservedReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    Slot* slot = Find(file);
    if (Injected(slot, &Slot::failRead, &Slot::failedReads))
    {
        return FALSE;
    }
    const BOOL result = g_readFile(file, buffer, size, read, overlapped);
    if (!result && slot != nullptr)
    {
        const DWORD error = ::GetLastError();
        CountFailure(*slot, error);
        ::SetLastError(error);
    }
    return result;
}

BOOL WINAPI ObservedWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped)
{
    Slot* slot = Find(file);
    if (Injected(slot, &Slot::failWrite, &Slot::failedWrites))
    {
        return FALSE;
    }
    const BOOL result = g_writeFile(file, buffer, size, written, overlapped);
    if (!result && slot != nullptr)
    {
        const DWORD error = ::GetLastError();
        CountFailure(*slot, error);
        ::SetLastError(error);
    }
    return result;
}

BOOL WINAPI ObservedOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes, BOOL wait)
{
    const BOOL result = g_overlappedResult(file, overlapped, bytes, wait);
    if (!result)
    {
        const DWORD error = ::GetLastError();
        if (Slot* slot = Find(file))
        {
            CountFailure(*slot, error);
        }
        ::SetLastError(error);
    }
    return result;
}

void InstallOnce()
{
    static std::once_flag installed;
    std::call_once(installed,
                   []
                   {
                       auto& api = platform::Api();
                       g_readFile = api.ReadFile;
                       g_writeFile = api.WriteFile;
                       g_overlappedResult = api.GetOverlappedResult;
                       api.ReadFile = &ObservedReadFile;
                       api.WriteFile = &ObservedWriteFile;
                       api.GetOverlappedResult = &ObservedOverlappedResult;
                   });
}

} // namespace

void CChannelIo::Observe(HANDLE handle, const std::wstring& instanceId)
{
    InstallOnce();
    std::lock_guard lock(g_mutex);
    size_t free = kSlots;
    for (size_t i = 0; i < kSlots; ++i)
    {
        if (EqualNoCase(g_devices[i], instanceId))
        {
            g_slots[i].handle.store(handle, std::memory_order_release);
            return;
        }
        if (free == kSlots && g_devices[i].empty())
        {
            free = i;
        }
    }
    if (free < kSlots)
    {
        g_devices[free] = instanceId;
        g_slots[free].handle.store(handle, std::memory_order_release);
    }
}

bool CChannelIo::Arm(const std::wstring& instanceId, bool read, DWORD error)
{
    std::lock_guard lock(g_mutex);
    for (size_t i = 0; i < kSlots; ++i)
    {
        if (EqualNoCase(g_devices[i], instanceId))
        {
            (read ? g_slots[i].failRead : g_slots[i].failWrite).store(error);
            return true;
        }
    }
    return false;
}

void CChannelIo::Publish()
{
    std::lock_guard lock(g_mutex);
    for (size_t i = 0; i < kSlots && !g_devices[i].empty(); ++i)
    {
        const Slot& slot = g_slots[i];
        Published& done = g_published[i];
        const Published now{slot.failed.load(), slot.cancelled.load(), slot.failedReads.load(),
                            slot.failedWrites.load()};
        store::AddCount(g_devices[i], values::kFailedTransfers, now.failed - done.failed);
        store::AddCount(g_devices[i], values::kCancelledTransfers, now.cancelled - done.cancelled);
        store::AddCount(g_devices[i], values::kFailedReadsInjected, now.failedReads - done.failedReads);
        store::AddCount(g_devices[i], values::kFailedWritesInjected, now.failedWrites - done.failedWrites);
        done = now;
    }
}

} // namespace simulation
