#pragma once
#include <string>

// Escapes UTF-8 text for a JSON string, byte by byte: '"' and '\' get a backslash, backspace, form
// feed, line feed, carriage return and tab become \b \f \n \r \t, any other control character
// (below 0x20, NUL included) \u00XX. Every other byte (non-ASCII bytes included) is copied unchanged;
// nothing is validated.
std::string JsonEscape(const std::string& text);
