#include "simulation/PropertyKeyText.h"

#include <objbase.h>

#include <cwchar>

namespace simulation
{

std::wstring PropertyKeyText(const GUID& fmtid, DWORD pid)
{
    wchar_t guid[64];
    ::StringFromGUID2(fmtid, guid, 64);
    return std::wstring(guid) + L"," + std::to_wstring(pid);
}

std::optional<std::pair<GUID, DWORD>> ParsePropertyKeyText(const std::wstring& text)
{
    const size_t comma = text.find(L',');
    if (comma == std::wstring::npos || comma + 1 >= text.size())
    {
        return std::nullopt;
    }
    GUID guid{};
    const std::wstring guidText = text.substr(0, comma);
    if (FAILED(::CLSIDFromString(guidText.c_str(), &guid)))
    {
        return std::nullopt;
    }
    wchar_t* end = nullptr;
    const unsigned long pid = std::wcstoul(text.c_str() + comma + 1, &end, 10);
    if (!end || *end != L'\0')
    {
        return std::nullopt;
    }
    return std::make_pair(guid, static_cast<DWORD>(pid));
}

} // namespace simulation
