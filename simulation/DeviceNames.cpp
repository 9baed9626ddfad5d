#include "simulation/DeviceNames.h"

#include <cwctype>

namespace simulation
{

namespace
{
constexpr std::wstring_view kLinkPrefix = L"\\\\?\\";
constexpr std::wstring_view kControlSuffix = L"\\Control";
} // namespace

std::wstring ToUpper(std::wstring_view text)
{
    std::wstring out(text);
    for (auto& character : out)
    {
        character = static_cast<wchar_t>(std::towupper(character));
    }
    return out;
}

std::wstring ToLower(std::wstring_view text)
{
    std::wstring out(text);
    for (auto& character : out)
    {
        character = static_cast<wchar_t>(std::towlower(character));
    }
    return out;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (std::towupper(a[i]) != std::towupper(b[i]))
        {
            return false;
        }
    }
    return true;
}

std::wstring InstanceIdForIndex(std::wstring_view name, unsigned index)
{
    wchar_t number[16];
    swprintf(number, 16, L"%04u", index);
    return L"ROOT\\" + ToUpper(name) + L"\\" + number;
}

std::wstring HashForm(std::wstring_view instanceId)
{
    std::wstring out(instanceId);
    for (auto& character : out)
    {
        if (character == L'\\')
        {
            character = L'#';
        }
    }
    return out;
}

std::wstring LinkForInstance(std::wstring_view instanceId)
{
    return std::wstring(kLinkPrefix) + HashForm(instanceId) + L"#" + kInterfaceClassText;
}

std::wstring ListedLink(std::wstring_view instanceId, LinkCase linkCase)
{
    const std::wstring link = LinkForInstance(instanceId);
    return linkCase == LinkCase::Lower ? ToLower(link) : ToUpper(link);
}

std::wstring NotifiedLink(std::wstring_view instanceId, LinkCase linkCase)
{
    const std::wstring link = LinkForInstance(instanceId);
    return linkCase == LinkCase::Upper ? ToUpper(link) : ToLower(link);
}

std::optional<LinkCase> ParseLinkCase(std::wstring_view text)
{
    if (text == L"mixed")
    {
        return LinkCase::Mixed;
    }
    if (text == L"upper")
    {
        return LinkCase::Upper;
    }
    if (text == L"lower")
    {
        return LinkCase::Lower;
    }
    return std::nullopt;
}

std::optional<std::wstring> InstanceFromLink(std::wstring_view link)
{
    const std::wstring_view classSuffix = kInterfaceClassText;
    if (link.size() <= kLinkPrefix.size() + classSuffix.size() + 1)
    {
        return std::nullopt;
    }
    if (link.substr(0, kLinkPrefix.size()) != kLinkPrefix)
    {
        return std::nullopt;
    }
    if (!EqualNoCase(link.substr(link.size() - classSuffix.size()), classSuffix))
    {
        return std::nullopt;
    }
    if (link[link.size() - classSuffix.size() - 1] != L'#')
    {
        return std::nullopt;
    }
    std::wstring id(
        link.substr(kLinkPrefix.size(), link.size() - kLinkPrefix.size() - classSuffix.size() - 1));
    if (id.empty() || id.find(L'\\') != std::wstring::npos)
    {
        return std::nullopt;
    }
    for (auto& character : id)
    {
        if (character == L'#')
        {
            character = L'\\';
        }
    }
    return id;
}

std::optional<std::wstring> LinkFromControlPath(std::wstring_view path)
{
    if (path.size() <= kControlSuffix.size() ||
        !EqualNoCase(path.substr(path.size() - kControlSuffix.size()), kControlSuffix))
    {
        return std::nullopt;
    }
    std::wstring link(path.substr(0, path.size() - kControlSuffix.size()));
    if (!InstanceFromLink(link))
    {
        return std::nullopt;
    }
    return link;
}

std::wstring PipeNameForInstance(std::wstring_view instanceId)
{
    return L"\\\\.\\pipe\\" + LinkForInstance(instanceId).substr(kLinkPrefix.size()) +
           std::wstring(kControlSuffix);
}

std::wstring CaptureEndpointId(std::wstring_view guidText)
{
    return L"{0.0.1.00000000}." + std::wstring(guidText);
}

std::wstring RenderEndpointId(std::wstring_view guidText)
{
    return L"{0.0.0.00000000}." + std::wstring(guidText);
}

std::wstring EndpointChildId(std::wstring_view endpointId)
{
    return L"SWD\\MMDEVAPI\\" + std::wstring(endpointId);
}

} // namespace simulation
