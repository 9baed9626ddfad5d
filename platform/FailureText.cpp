#include "platform/FailureText.h"

#include "platform/SystemCallError.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

namespace platform
{

std::wstring FailureText(const std::exception* error)
{
    if (error == nullptr)
    {
        return L"unknown exception";
    }
    std::wstring text = Utf8ToWide(error->what());
    if (const auto* systemCall = dynamic_cast<const SystemCallError*>(error))
    {
        const auto code = static_cast<std::uint32_t>(systemCall->code());
        std::wstring system = FormatSystemError(code);
        // System texts end with a line break; the boundary's line goes on after it.
        while (!system.empty() && (system.back() == L'\r' || system.back() == L'\n' || system.back() == L' '))
        {
            system.pop_back();
        }
        text += L": " + ToHex(code);
        if (!system.empty())
        {
            text += L" " + system;
        }
    }
    return text;
}

} // namespace platform
