// _wcserror is the text the watcher's messages are defined with; the secure variant cannot say "none".
#define _CRT_SECURE_NO_WARNINGS
#include "driver/CrtErrorText.h"

#include <cstring>
#include <cwchar>

namespace driver
{

std::wstring CrtErrorText(int code)
{
    const wchar_t* text = _wcserror(code);
    return text != nullptr ? std::wstring(text) : std::wstring(L"(null)");
}

} // namespace driver
