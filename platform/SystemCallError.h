#pragma once
#include <cstdint>
#include <exception>
#include <string>

namespace platform
{
// A failed system call: a fixed message and the code the call reported (a status, GetLastError or a
// raw wait result). The wrappers' own error types derive from it so that a boundary can log the code
// whatever threw.
class SystemCallError : public std::exception
{
public:
    SystemCallError(std::string message, std::int32_t code) : m_message(std::move(message)), m_code(code) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    std::int32_t code() const noexcept { return m_code; }

private:
    std::string m_message;
    std::int32_t m_code;
};
} // namespace platform
