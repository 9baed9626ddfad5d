#include "diagnostics/MessageOnlyFormatter.h"

#include "diagnostics/ThreadLabel.h"

namespace velmar
{

std::wstring MessageOnlyFormatter::format(const plog::Record& record)
{
    const std::wstring_view label = GetThreadLabel();
    std::wstring text;
    if (!label.empty())
    {
        text += L'[';
        text += label;
        text += L"] ";
    }
    text += record.getMessage();
    text += L'\n';
    return text;
}

} // namespace velmar
