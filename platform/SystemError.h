#pragma once
#include <cstdint>
#include <string>

// The system's message text for an error code, "No error" for 0, empty when the system has none.
// System texts end with "\r\n", which stays part of the result.
std::wstring FormatSystemError(std::uint32_t code);

// An unsigned 32-bit value in lower-case hexadecimal without prefix or leading zeros.
std::wstring ToHex(std::uint32_t value);
