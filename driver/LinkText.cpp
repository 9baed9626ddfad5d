#include "driver/LinkText.h"

#include <windows.h>

namespace driver
{

namespace
{
int Compare(std::wstring_view a, std::wstring_view b) noexcept
{
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  TRUE);
}
} // namespace

bool SameLinkText(std::wstring_view a, std::wstring_view b) noexcept
{
    return Compare(a, b) == CSTR_EQUAL;
}

bool CNoCaseLess::operator()(std::wstring_view a, std::wstring_view b) const noexcept
{
    return Compare(a, b) == CSTR_LESS_THAN;
}

} // namespace driver
