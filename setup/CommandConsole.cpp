#include "setup/CommandConsole.h"

#include "platform/ConsoleText.h"

namespace
{

void WriteTo(DWORD which, const std::wstring& text)
{
    platform::WriteStandardText(which, text);
}

} // namespace

CommandConsole StandardConsole()
{
    return CommandConsole{[](const std::wstring& text) { WriteTo(STD_OUTPUT_HANDLE, text); },
                          [](const std::wstring& text) { WriteTo(STD_ERROR_HANDLE, text); }};
}
