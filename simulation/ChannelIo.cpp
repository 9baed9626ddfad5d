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
    // A read that was started although it must fail: it fails when it completes.
    std::atomic<LPOVERLAPPED> failing{nullptr};
    std::atomic<DWORD> failingError{0};
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

// A write the device was asked to fail: refused before the device took anything, with the code.
bool RefusedWrite(Slot* slot)
{
    if (slot == nullptr)
    {
        return false;
    }
    const DWORD error = slot->failWrite.exchange(0);
    if (error == 0)
    {
        return false;
    }
    slot->failedWrites.fetch_add(1, std::memory_order_relaxed);
    slot->failed.fetch_add(1, std::memory_order_relaxed);
    ::SetLastError(error);
    return true;
}

// A read the device was asked to fail takes the block it would have returned and then fails with the
// code: the device's capture stream runs on in real time, so the period of a failed request is lost
// (refusing it before any I/O would leave the block for the next read and shift the stream).
BOOL FailedRead(Slot& slot, DWORD error, HANDLE file, LPVOID buffer, DWORD size, LPDWORD read,
                LPOVERLAPPED overlapped)
{
    slot.failedReads.fetch_add(1, std::memory_order_relaxed);
    if (g_readFile(file, buffer, size, read, overlapped))
    {
        slot.failed.fetch_add(1, std::memory_order_relaxed);
        if (read != nullptr)
        {
            *read = 0;
        }
        ::SetLastError(error);
        return FALSE;
    }
    const DWORD started = ::GetLastError();
    if (started == ERROR_IO_PENDING && overlapped != nullptr)
    {
        slot.failingError.store(error);
        slot.failing.store(overlapped);
    }
    else
    {
        CountFailure(slot, started);
    }
    ::SetLastError(started);
    return FALSE;
}

BOOL WINAPI ObservedReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    Slot* slot = Find(file);
    if (slot != nullptr)
    {
        if (const DWORD error = slot->failRead.exchange(0); error != 0)
        {
            return FailedRead(*slot, error, file, buffer, size, read, overlapped);
        }
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
    if (RefusedWrite(slot))
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
    const DWORD error = result ? 0 : ::GetLastError();
    Slot* slot = Find(file);
    if (slot == nullptr)
    {
        ::SetLastError(error);
        return result;
    }
    if (overlapped != nullptr && error != ERROR_IO_INCOMPLETE && slot->failing.load() == overlapped)
    {
        slot->failing.store(nullptr);
        if (result)
        {
            slot->failed.fetch_add(1, std::memory_order_relaxed);
            if (bytes != nullptr)
            {
                *bytes = 0;
            }
            ::SetLastError(slot->failingError.load());
            return FALSE;
        }
    }
    if (!result)
    {
        CountFailure(*slot, error);
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
    // Handle values are reused once closed: a device whose channel was closed must not keep the value
    // (its slot came first in the lookup and took the new device's failures).
    for (auto& slot : g_slots)
    {
        HANDLE expected = handle;
        slot.handle.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
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
