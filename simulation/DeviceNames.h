#pragma once
// Names and identifiers of the simulated virtual audio devices: instance ids, interface links, the
// control-channel pipe behind a link, and the endpoint ids of a device's audio endpoints.
#include <optional>
#include <string>
#include <string_view>

namespace simulation
{

inline constexpr wchar_t kHardwareId[] = L"Root\\VirtualAudioOrvane";
// The control interface class, in the lower-case form the system writes into links.
inline constexpr wchar_t kInterfaceClassText[] = L"{19e108d8-935a-460c-9f52-cdc7c63292e1}";
// The device setup class of the package (Media).
inline constexpr wchar_t kMediaClassText[] = L"{4d36e96c-e325-11ce-bfc1-08002be10318}";
inline constexpr wchar_t kMediaClassName[] = L"MEDIA";

// "ROOT\MEDIA\0007" for enumerator name "MEDIA" and index 7.
std::wstring InstanceIdForIndex(std::wstring_view name, unsigned index);
// The instance id with every "\" written as "#".
std::wstring HashForm(std::wstring_view instanceId);
// "\\?\ROOT#MEDIA#0000#{19e108d8-...}".
std::wstring LinkForInstance(std::wstring_view instanceId);
// The letter case of the links the world reports. Windows promises none: the interface list and the
// notifications may write the same link differently. Mixed (the default): the list in upper case,
// the notifications in lower case.
enum class LinkCase : unsigned
{
    Mixed = 0,
    Upper = 1,
    Lower = 2,
};
// The device's link as the interface list reports it, and as its notifications carry it.
std::wstring ListedLink(std::wstring_view instanceId, LinkCase linkCase);
std::wstring NotifiedLink(std::wstring_view instanceId, LinkCase linkCase);
// "upper", "lower", "mixed"; nothing for any other text.
std::optional<LinkCase> ParseLinkCase(std::wstring_view text);
// The instance id (with "\") a link of our interface class names; nothing for any other text.
std::optional<std::wstring> InstanceFromLink(std::wstring_view link);
// For "<link>\Control" of our interface class: the link; nothing for any other path.
std::optional<std::wstring> LinkFromControlPath(std::wstring_view path);
// "\\.\pipe\ROOT#MEDIA#0000#{19e108d8-...}\Control".
std::wstring PipeNameForInstance(std::wstring_view instanceId);

// Endpoint ids as the endpoint store names them: "{0.0.1.00000000}.{guid}" (capture) and
// "{0.0.0.00000000}.{guid}" (render); the device tree names the child "SWD\MMDEVAPI\" + id.
std::wstring CaptureEndpointId(std::wstring_view guidText);
std::wstring RenderEndpointId(std::wstring_view guidText);
std::wstring EndpointChildId(std::wstring_view endpointId);

std::wstring ToUpper(std::wstring_view text);
std::wstring ToLower(std::wstring_view text);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);

} // namespace simulation
