#include "config/Registry.h"

#include "platform/SystemApi.h"

namespace
{

void ThrowOnFailure(LSTATUS status, const char* message)
{
    if (status != ERROR_SUCCESS)
    {
        throw RegistryError(message, static_cast<std::int32_t>(status));
    }
}

constexpr const char* kOpenFailed = "Cannot open from registry.";
constexpr const char* kReadStringFailed = "Cannot read string from registry";
constexpr const char* kReadDwordFailed = "Cannot read DWORD from registry.";

// Only REG_SZ: without RRF_NOEXPAND a REG_EXPAND_SZ would pass as expanded text (and one stored without
// a terminator expands whatever follows its data).
constexpr DWORD kStringOnly = RRF_RT_REG_SZ | RRF_NOEXPAND;

} // namespace

CRegistry CRegistry::Open(HKEY parent, const std::wstring& subkey)
{
    HKEY key = nullptr;
    ThrowOnFailure(platform::Api().RegOpenKeyExW(parent, subkey.c_str(), 0, kReadAccess, &key), kOpenFailed);
    return CRegistry(key);
}

CRegistry CRegistry::Open(const CRegistry& parent, const std::wstring& subkey)
{
    if (!parent.IsOpen())
    {
        return CRegistry();
    }
    return Open(parent.m_key.get(), subkey);
}

CRegistry CRegistry::Create(HKEY parent, const std::wstring& subkey)
{
    HKEY key = nullptr;
    ThrowOnFailure(platform::Api().RegCreateKeyExW(parent, subkey.c_str(), 0, nullptr,
                                                   REG_OPTION_NON_VOLATILE, kWriteAccess, nullptr, &key,
                                                   nullptr),
                   kOpenFailed);
    return CRegistry(key);
}

CRegistry CRegistry::Create(const CRegistry& parent, const std::wstring& subkey)
{
    if (!parent.IsOpen())
    {
        return CRegistry();
    }
    return Create(parent.m_key.get(), subkey);
}

std::wstring CRegistry::ReadString(const std::wstring& name) const
{
    DWORD size = 0;
    ThrowOnFailure(platform::Api().RegGetValueW(m_key.get(), nullptr, name.c_str(), kStringOnly, nullptr,
                                                nullptr, &size),
                   kReadStringFailed);

    // One spare character: room for the terminator RegGetValueW adds to a value stored without one,
    // and a buffer even for a value of 0 bytes. The call is given the whole buffer, not the queried size.
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    ThrowOnFailure(platform::Api().RegGetValueW(m_key.get(), nullptr, name.c_str(), kStringOnly, nullptr,
                                                text.data(), &size),
                   kReadStringFailed);

    // The returned size counts the terminator only when one was stored or added; a value written
    // without one (and reported at its raw size) keeps every character, an empty one stays empty.
    std::size_t length = size / sizeof(wchar_t);
    if (length > 0 && text[length - 1] == L'\0')
    {
        --length;
    }
    text.resize(length);
    return text;
}

std::optional<std::wstring> CRegistry::ReadOptionalString(const std::wstring& name) const
{
    DWORD size = 0;
    const LSTATUS status = platform::Api().RegGetValueW(m_key.get(), nullptr, name.c_str(), kStringOnly,
                                                        nullptr, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        return std::nullopt;
    }
    ThrowOnFailure(status, "Cannot found string from registry");
    return ReadString(name);
}

DWORD CRegistry::ReadDword(const std::wstring& name) const
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    ThrowOnFailure(platform::Api().RegGetValueW(m_key.get(), nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr,
                                                &value, &size),
                   kReadDwordFailed);
    // RegGetValueW hands out a REG_DWORD of fewer than four bytes as it is stored; that is no number.
    if (size != sizeof(value))
    {
        throw RegistryError(kReadDwordFailed, ERROR_DATATYPE_MISMATCH);
    }
    return value;
}

void CRegistry::WriteString(const std::wstring& name, std::wstring_view text) const
{
    // Windows stores exactly the bytes given: the count includes the terminator.
    const std::wstring terminated(text);
    ThrowOnFailure(
        platform::Api().RegSetValueExW(m_key.get(), name.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(terminated.c_str()),
                                       static_cast<DWORD>((terminated.size() + 1) * sizeof(wchar_t))),
        "Cannot write String to registry.");
}

std::vector<std::wstring> CRegistry::EnumerateSubKeys() const
{
    DWORD count = 0;
    DWORD longest = 0;
    ThrowOnFailure(platform::Api().RegQueryInfoKeyW(m_key.get(), nullptr, nullptr, nullptr, &count, &longest,
                                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                   "Cannot query key info from the registry");

    std::vector<std::wstring> names;
    names.reserve(count);
    std::wstring buffer(longest + 1, L'\0');
    for (DWORD index = 0; index < count; ++index)
    {
        DWORD length = static_cast<DWORD>(buffer.size());
        ThrowOnFailure(platform::Api().RegEnumKeyExW(m_key.get(), index, buffer.data(), &length, nullptr,
                                                     nullptr, nullptr, nullptr),
                       "Cannot get value info from the registry");
        names.emplace_back(buffer.data(), length);
    }
    return names;
}

void CRegistry::DeleteSubKey(const std::wstring& name) const
{
    ThrowOnFailure(platform::Api().RegDeleteKeyW(m_key.get(), name.c_str()),
                   "Cannot delete key from the registry");
}

void CRegistry::Watch(const CEvent& event) const
{
    ThrowOnFailure(TryWatch(event), "Cannot watch the registry");
}

LONG CRegistry::TryWatch(const CEvent& event) const noexcept
{
    return platform::Api().RegNotifyChangeKeyValue(m_key.get(), FALSE, kWatchFilter, event.Handle(), TRUE);
}
