#include "service/DependOnService.h"

#include "platform/SystemApi.h"

namespace service
{

namespace
{
constexpr wchar_t kDependOnService[] = L"DependOnService";
constexpr DWORD kListBytes = 1024;
} // namespace

LONG ReadDependOnService(HKEY serviceKey, std::vector<std::wstring>& names)
{
    names.clear();
    // Two more characters than the value may hold, zeroed: the last name always ends.
    wchar_t buffer[kListBytes / sizeof(wchar_t) + 2] = {};
    DWORD bytes = kListBytes;
    DWORD type = 0;
    const LONG status = ::RegQueryValueExW(serviceKey, kDependOnService, nullptr, &type,
                                           reinterpret_cast<BYTE*>(buffer), &bytes);
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    const wchar_t* end = buffer + bytes / sizeof(wchar_t);
    for (const wchar_t* name = buffer; name < end;)
    {
        const std::wstring text(name);
        if (!text.empty())
        {
            names.push_back(text);
        }
        name += text.size() + 1;
    }
    return ERROR_SUCCESS;
}

void WriteDependOnService(HKEY serviceKey, const std::vector<std::wstring>& names)
{
    std::wstring list;
    for (const std::wstring& name : names)
    {
        list += name;
        list += L'\0';
    }
    list += L'\0';
    platform::Api().RegSetValueExW(serviceKey, kDependOnService, 0, REG_MULTI_SZ,
                                   reinterpret_cast<const BYTE*>(list.data()),
                                   static_cast<DWORD>(list.size() * sizeof(wchar_t)));
}

void DeleteDependOnService(HKEY serviceKey)
{
    ::RegDeleteValueW(serviceKey, kDependOnService);
}

} // namespace service
