#include "diagnostics/ThreadLabel.h"

namespace
{
thread_local std::wstring t_label;
}

const std::wstring& GetThreadLabel() noexcept
{
    return t_label;
}

void SetThreadLabel(const std::wstring& label)
{
    t_label = label;
}
