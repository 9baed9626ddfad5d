#pragma once
#include <string>

// Escapes UTF-8 text for a JSON string, byte by byte: '"' and '\' get a backslash, backspace, form
// feed, line feed, carriage return and tab become \b \f \n \r \t. Every other byte (other control
// characters, non-ASCII bytes) is copied unchanged; nothing is validated.
std::string JsonEscape(const std::string& text);
