#include "diagnostics/ThreadLabel.h"

#include <algorithm>
#include <type_traits>

namespace
{
struct ThreadLabelText
{
    wchar_t text[kThreadLabelCapacity];
    std::size_t length;
};
static_assert(std::is_trivially_destructible_v<ThreadLabelText>);
thread_local ThreadLabelText t_label{};
} // namespace

std::wstring_view GetThreadLabel() noexcept
{
    return {t_label.text, t_label.length};
}

void SetThreadLabel(std::wstring_view label) noexcept
{
    const std::size_t length = std::min(label.size(), kThreadLabelCapacity);
    std::copy_n(label.data(), length, t_label.text);
    t_label.length = length;
}
