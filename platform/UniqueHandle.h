#pragma once
// One owner for every kind of system handle, in the spirit of WIL's unique_any: the type of the value,
// its empty value and how it is closed belong to a traits type, so each kind is one alias below.
// Move-only; the destructor closes a non-empty value. Closing goes through the system call table
// (platform::Api(), driver::Devices()), so tests can observe and fail closes.
//
//   platform::UniqueEvent event(platform::Api().CreateEventW(nullptr, TRUE, FALSE, nullptr));
//   if (!event) { ... }            // empty: creation failed
//   RegOpenKeyExW(parent, name, 0, access, key.put());
#include "platform/SystemApi.h"

#include <utility>

namespace platform
{

// Traits: using Type = ...; static constexpr Type Empty() noexcept; static void Close(Type) noexcept.
template <typename Traits> class CUniqueAny
{
public:
    using Type = typename Traits::Type;

    CUniqueAny() noexcept = default;
    explicit CUniqueAny(Type value) noexcept : m_value(value) {}
    ~CUniqueAny() { reset(); }
    CUniqueAny(const CUniqueAny&) = delete;
    CUniqueAny& operator=(const CUniqueAny&) = delete;
    CUniqueAny(CUniqueAny&& other) noexcept : m_value(other.release()) {}
    CUniqueAny& operator=(CUniqueAny&& other) noexcept
    {
        if (this != &other)
        {
            reset(other.release());
        }
        return *this;
    }

    Type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Traits::Empty(); }

    // Gives up ownership without closing.
    [[nodiscard]] Type release() noexcept { return std::exchange(m_value, Traits::Empty()); }
    // Closes the value held (if any) and takes the new one.
    void reset(Type value = Traits::Empty()) noexcept
    {
        const Type old = std::exchange(m_value, value);
        if (old != Traits::Empty())
        {
            Traits::Close(old);
        }
    }
    // The place for an out parameter; a value held before is closed first.
    Type* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    Type m_value = Traits::Empty();
};

// The traits of a kind whose empty value is null and which one entry of the system call table closes
// with the value as its only argument.
template <typename T, auto SystemApi::*Entry> struct TableClosedTraits
{
    using Type = T;
    static constexpr Type Empty() noexcept { return nullptr; }
    static void Close(Type value) noexcept { (Api().*Entry)(value); }
};

// An event, thread, process or other kernel object whose failure value is null.
using HandleTraits = TableClosedTraits<HANDLE, &SystemApi::CloseHandle>;
using UniqueHandle = CUniqueAny<HandleTraits>;
using UniqueEvent = UniqueHandle;
using UniqueThread = UniqueHandle;

// A file, pipe or device handle from CreateFileW, whose failure value is INVALID_HANDLE_VALUE.
struct FileTraits
{
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { Api().CloseHandle(value); }
};
using UniqueFile = CUniqueAny<FileTraits>;

using RegistryKeyTraits = TableClosedTraits<HKEY, &SystemApi::RegCloseKey>;
using UniqueKey = CUniqueAny<RegistryKeyTraits>;

using ServiceHandleTraits = TableClosedTraits<SC_HANDLE, &SystemApi::CloseServiceHandle>;
using UniqueServiceHandle = CUniqueAny<ServiceHandleTraits>;

using CoTaskMemTraits = TableClosedTraits<void*, &SystemApi::CoTaskMemFree>;
using UniqueCoTaskMem = CUniqueAny<CoTaskMemTraits>;

// A text the system allocated for the caller with CoTaskMemAlloc (for example IMMDevice::GetId).
using UniqueCoTaskMemString = CUniqueAny<TableClosedTraits<wchar_t*, &SystemApi::CoTaskMemFree>>;

// Memory the system allocated with LocalAlloc for the caller (FORMAT_MESSAGE_ALLOCATE_BUFFER).
using UniqueLocalMemory = CUniqueAny<TableClosedTraits<HLOCAL, &SystemApi::LocalFree>>;

// The calling thread's membership of a multimedia class scheduler task (AvSetMmThreadCharacteristicsW);
// closing leaves the task. Only the thread that joined may close it.
using UniqueMmcssTask = CUniqueAny<TableClosedTraits<HANDLE, &SystemApi::AvRevertMmThreadCharacteristics>>;

// An event-log source from RegisterEventSourceW.
using UniqueEventSource = CUniqueAny<TableClosedTraits<HANDLE, &SystemApi::DeregisterEventSource>>;

// Memory from HeapAlloc on the process heap.
struct ProcessHeapMemoryTraits
{
    using Type = void*;
    static constexpr Type Empty() noexcept { return nullptr; }
    static void Close(Type value) noexcept { Api().HeapFree(Api().GetProcessHeap(), 0, value); }
};
using UniqueProcessHeapMemory = CUniqueAny<ProcessHeapMemoryTraits>;

// A CNG algorithm provider and a CNG key.
struct AlgorithmProviderTraits
{
    using Type = BCRYPT_ALG_HANDLE;
    static constexpr Type Empty() noexcept { return nullptr; }
    static void Close(Type value) noexcept { Api().BCryptCloseAlgorithmProvider(value, 0); }
};
using UniqueAlgorithmProvider = CUniqueAny<AlgorithmProviderTraits>;
using UniqueCryptKey = CUniqueAny<TableClosedTraits<BCRYPT_KEY_HANDLE, &SystemApi::BCryptDestroyKey>>;

// A COM apartment entered on this thread: the value is whether CoInitializeEx succeeded (S_OK or
// S_FALSE), and closing leaves the apartment.
struct ComApartmentTraits
{
    using Type = bool;
    static constexpr Type Empty() noexcept { return false; }
    static void Close(Type) noexcept { Api().CoUninitialize(); }
};
using UniqueComApartment = CUniqueAny<ComApartmentTraits>;

// Enters a single- or multi-threaded apartment; the result is empty when COM refused (for example
// RPC_E_CHANGED_MODE on a thread that uses the other model).
inline UniqueComApartment EnterComApartment(DWORD model) noexcept
{
    return UniqueComApartment(SUCCEEDED(Api().CoInitializeEx(nullptr, model)));
}

} // namespace platform
