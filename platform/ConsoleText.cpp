#include "platform/ConsoleText.h"

#include "platform/SystemApi.h"
#include "platform/TextConversion.h"

#include <cstdio>
#include <string>

namespace platform
{

void WriteStandardText(DWORD which, std::wstring_view text)
{
    // Whatever the C runtime still buffers for the same handle goes first.
    std::fflush(which == STD_ERROR_HANDLE ? stderr : stdout);
    const auto& api = Api();
    const HANDLE handle = api.GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty())
    {
        return;
    }
    DWORD mode = 0;
    if (api.GetConsoleMode(handle, &mode))
    {
        while (!text.empty())
        {
            DWORD written = 0;
            if (!api.WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
                written == 0)
            {
                return;
            }
            text.remove_prefix(written);
        }
        return;
    }
    // Lines end in CR LF in a file or pipe, as the C runtime's text mode writes them.
    std::wstring lines;
    lines.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r'))
        {
            lines += L'\r';
        }
        lines += text[i];
    }
    const std::string bytes = WideToUtf8(lines);
    std::string_view rest(bytes);
    while (!rest.empty())
    {
        DWORD written = 0;
        if (!api.WriteFile(handle, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) ||
            written == 0)
        {
            return;
        }
        rest.remove_prefix(written);
    }
}

} // namespace platform
