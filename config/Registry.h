#pragma once
#include "config/RegistryError.h"
#include "platform/Event.h"
#include "platform/UniqueHandle.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

// Owns one open registry key (or none). Every failing call throws RegistryError with a fixed message
// and the call's status. Moved, never copied; the handle is closed on destruction.
//
// A wrapper that holds no key is a valid value: Open/Create under it make no call and give another
// empty wrapper, while reads and watches pass the null handle on and fail with ERROR_INVALID_HANDLE.
class CRegistry
{
public:
    static constexpr REGSAM kReadAccess = KEY_READ;                                       // 0x20019
    static constexpr REGSAM kWriteAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY; // 0x2001F
    // REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC
    static constexpr DWORD kWatchFilter = 0x10000005;

    CRegistry() noexcept = default;
    explicit CRegistry(HKEY key) noexcept : m_key(key) {}
    virtual ~CRegistry() = default;
    CRegistry(CRegistry&& other) noexcept = default;
    CRegistry& operator=(CRegistry&& other) noexcept = default;
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // Opens an existing key for reading. "Cannot open from registry."
    static CRegistry Open(HKEY parent, const std::wstring& subkey);
    static CRegistry Open(const CRegistry& parent, const std::wstring& subkey);
    // Opens or creates (with any missing intermediate keys) a key for reading and changing.
    // "Cannot open from registry."
    static CRegistry Create(HKEY parent, const std::wstring& subkey);
    static CRegistry Create(const CRegistry& parent, const std::wstring& subkey);

    // A REG_SZ value, with or without a stored terminator; REG_EXPAND_SZ and every other type fail with
    // the platform's type error. "Cannot read string from registry"
    std::wstring ReadString(const std::wstring& name) const;
    // Absent when the value does not exist; "Cannot found string from registry" when the presence
    // test fails otherwise, then as ReadString.
    std::optional<std::wstring> ReadOptionalString(const std::wstring& name) const;
    // A REG_DWORD value of exactly four bytes (a shorter one fails with ERROR_DATATYPE_MISMATCH, a longer
    // one with the platform's ERROR_MORE_DATA). "Cannot read DWORD from registry."
    DWORD ReadDword(const std::wstring& name) const;
    // Stores text as REG_SZ with its terminator (2 bytes per character plus 2). "Cannot write String to
    // registry."
    void WriteString(const std::wstring& name, std::wstring_view text) const;
    // Names of the direct subkeys in enumeration order.
    std::vector<std::wstring> EnumerateSubKeys() const;
    // Deletes a direct subkey that has no subkeys of its own. "Cannot delete key from the registry"
    void DeleteSubKey(const std::wstring& name) const;
    // Arms one notification: the event is signalled once when a value of this key or the set of its
    // direct subkeys changes. Re-arm after each signal. "Cannot watch the registry"
    void Watch(const CEvent& event) const;
    // The same, for a caller that handles the failure itself: the status of the call.
    LONG TryWatch(const CEvent& event) const noexcept;

    HKEY Handle() const noexcept { return m_key.get(); }
    bool IsOpen() const noexcept { return static_cast<bool>(m_key); }

private:
    platform::UniqueKey m_key;
};
