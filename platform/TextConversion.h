#pragma once
#include <string>
#include <string_view>

// UTF-16 <-> UTF-8. The input length is passed explicitly, so embedded NULs convert like any other
// character; invalid input becomes the replacement character.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
