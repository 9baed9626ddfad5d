#include "setup/CommandConsole.h"

#include <cstdio>
#include <cwchar>

namespace
{

void WriteTo(FILE* stream, const std::wstring& text)
{
    std::fputws(text.c_str(), stream);
    std::fflush(stream);
}

} // namespace

CommandConsole StandardConsole()
{
    return CommandConsole{[](const std::wstring& text) { WriteTo(stdout, text); },
                          [](const std::wstring& text) { WriteTo(stderr, text); }};
}
