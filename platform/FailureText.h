#pragma once
#include <exception>
#include <string>

namespace platform
{
// What left a boundary, for its log: the exception's text, followed for a SystemCallError by ": ",
// its code in hexadecimal and the system's text for it; "unknown exception" for anything not derived
// from std::exception (error null).
std::wstring FailureText(const std::exception* error);
} // namespace platform
