#pragma once
// Wide text on standard output or standard error. The C runtime's wide streams convert through the
// "C" locale, which turns every character outside ASCII into garbage; this writes to a console as
// UTF-16 and to a redirected handle (file or pipe) as UTF-8.
#include <string_view>

#include <windows.h>

namespace platform
{

// which: STD_OUTPUT_HANDLE or STD_ERROR_HANDLE. Failures are ignored (there is nowhere to report them).
void WriteStandardText(DWORD which, std::wstring_view text);

} // namespace platform
