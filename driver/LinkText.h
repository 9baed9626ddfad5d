#pragma once
// Interface links and the instance ids made from them name devices without regard to letter case:
// the system does not promise the same case in its interface lists and in its notifications.
#include <string>
#include <string_view>

namespace driver
{

// Equal as the system compares names: ordinal, ignoring letter case.
bool SameLinkText(std::wstring_view a, std::wstring_view b) noexcept;

// An order that treats texts differing only in letter case as one key.
struct CNoCaseLess
{
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept;
};

} // namespace driver
