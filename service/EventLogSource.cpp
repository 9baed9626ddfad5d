#include "service/EventLogSource.h"

#include "platform/ConsoleText.h"
#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"

#include <cstdio>
#include <cwchar>
#include <iterator>

namespace
{

constexpr wchar_t kSourceName[] = L"ORVANE.CL.drv";
constexpr wchar_t kLogName[] = L"Application";
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
// 129 characters, written with the terminator as 260 bytes.
constexpr wchar_t kEventMessageFile[] =
    L"%windir%\\Microsoft.NET\\Framework\\v4.0.30319\\EventLogMessages.dll;"
    L"%windir%\\Microsoft.NET\\Framework\\v2.0.50727\\EventLogMessages.dll";

std::wstring SourceKey()
{
    return GetEventSourceKeys(kLogName, kSourceName);
}

void Print(DWORD which, const wchar_t* text)
{
    platform::WriteStandardText(which, text);
}

} // namespace

std::wstring GetEventSourceKeys(const std::wstring& logName, const std::wstring& sourceName)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + logName + L"\\" + sourceName;
}

bool IsEventSourceRegistered()
{
    platform::UniqueKey key;
    return platform::Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceKey().c_str(), 0, KEY_QUERY_VALUE,
                                         key.put()) == ERROR_SUCCESS;
}

bool RegisterEventLogSource()
{
    if (IsEventSourceRegistered())
    {
        return true;
    }
    platform::UniqueKey key;
    if (platform::Api().RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKey().c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(),
                                        nullptr) != ERROR_SUCCESS)
    {
        Print(STD_ERROR_HANDLE, L"Failed to register EventLog entry\n");
        return false;
    }
    platform::Api().RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE*>(&kTypesSupported), sizeof(kTypesSupported));
    platform::Api().RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                   reinterpret_cast<const BYTE*>(kEventMessageFile),
                                   static_cast<DWORD>(std::size(kEventMessageFile) * sizeof(wchar_t)));
    key.reset();
    Print(STD_OUTPUT_HANDLE, L"EventLog registration success\n");
    return true;
}

void UnregisterEventLogSource()
{
    if (!IsEventSourceRegistered())
    {
        return;
    }
    platform::Api().RegDeleteKeyW(HKEY_LOCAL_MACHINE, SourceKey().c_str());
    Print(STD_OUTPUT_HANDLE, L"EventLog unregistration done\n");
}
