#include "service/StoredParameters.h"

#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"

#include <vector>

namespace service
{

namespace
{
constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";
constexpr wchar_t kParametersValue[] = L"Parameters";
} // namespace

std::wstring ServiceKeyPath(const std::wstring& serviceName)
{
    return std::wstring(kServicesKey) + L"\\" + serviceName;
}

void WriteStoredParameters(const std::wstring& serviceName, const std::wstring& text)
{
    platform::UniqueKey key;
    if (platform::Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(serviceName).c_str(), 0,
                                      KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
    {
        return;
    }
    if (text.empty())
    {
        ::RegDeleteValueW(key.get(), kParametersValue);
        return;
    }
    platform::Api().RegSetValueExW(key.get(), kParametersValue, 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring ReadStoredParameters(const std::wstring& serviceName)
{
    platform::UniqueKey key;
    if (platform::Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(serviceName).c_str(), 0,
                                      KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    {
        return {};
    }
    DWORD type = 0;
    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), kParametersValue, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return {};
    }
    // Zeroed, with room for one more character than the value holds: a value without terminator ends
    // at its last character. The call may fill all but the last character (a value grown in between
    // still ends in a NUL).
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
    DWORD read = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), kParametersValue, nullptr, &type,
                           reinterpret_cast<BYTE*>(buffer.data()), &read) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return {};
    }
    return std::wstring(buffer.data());
}

} // namespace service
