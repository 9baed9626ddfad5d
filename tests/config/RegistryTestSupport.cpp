#include "RegistryTestSupport.h"

#include <stdexcept>
#include <string>

#include <winternl.h>

namespace testreg
{
namespace
{

struct CKey
{
    HKEY handle = nullptr;
    explicit CKey(const std::wstring& path)
    {
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                            nullptr) != ERROR_SUCCESS)
        {
            throw std::runtime_error("test: cannot create key");
        }
    }
    ~CKey() { RegCloseKey(handle); }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
};

void Check(LSTATUS status, const char* what)
{
    if (status != ERROR_SUCCESS)
    {
        throw std::runtime_error(std::string("test: ") + what + " failed " + std::to_string(status));
    }
}

} // namespace

void DeleteProductKey()
{
    const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProductPath);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    {
        Check(status, "RegDeleteTreeW");
    }
}

void CreateKey(const std::wstring& path)
{
    CKey key(path);
}

void SetString(const std::wstring& path, const std::wstring& name, const std::wstring& text)
{
    CKey key(path);
    Check(RegSetValueExW(key.handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
          "RegSetValueExW");
}

void SetRawString(const std::wstring& path, const std::wstring& name, const std::wstring& text)
{
    using NtSetValueKeyFn = NTSTATUS(NTAPI*)(HANDLE, PUNICODE_STRING, ULONG, ULONG, PVOID, ULONG);
    const auto setValue = reinterpret_cast<NtSetValueKeyFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
    if (setValue == nullptr)
    {
        throw std::runtime_error("test: NtSetValueKey missing");
    }
    CKey key(path);
    UNICODE_STRING valueName;
    valueName.Buffer = const_cast<wchar_t*>(name.c_str());
    valueName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    valueName.MaximumLength = valueName.Length;
    std::wstring data = text;
    const NTSTATUS status = setValue(key.handle, &valueName, 0, REG_SZ, data.data(),
                                     static_cast<ULONG>(data.size() * sizeof(wchar_t)));
    if (status != 0)
    {
        throw std::runtime_error("test: NtSetValueKey failed");
    }
}

void SetDword(const std::wstring& path, const std::wstring& name, DWORD value)
{
    CKey key(path);
    Check(RegSetValueExW(key.handle, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof(value)),
          "RegSetValueExW");
}

void DeleteValue(const std::wstring& path, const std::wstring& name)
{
    CKey key(path);
    Check(RegDeleteValueW(key.handle, name.c_str()), "RegDeleteValueW");
}

StoredValue Query(const std::wstring& path, const std::wstring& name)
{
    StoredValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return value;
    }
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS)
    {
        std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, name.c_str(), nullptr, &value.type, reinterpret_cast<BYTE*>(data.data()),
                             &size) == ERROR_SUCCESS)
        {
            value.exists = true;
            value.size = size;
            data.resize(size / sizeof(wchar_t));
            value.bytes = data;
        }
    }
    RegCloseKey(key);
    return value;
}

bool KeyExists(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    RegCloseKey(key);
    return true;
}

} // namespace testreg
