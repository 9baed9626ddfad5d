#pragma once
#include <cstdint>
#include <exception>
#include <string>

// A failed registry call: a fixed message and the status the call returned.
class RegistryError : public std::exception
{
public:
    RegistryError(std::string message, std::int32_t code) : m_message(std::move(message)), m_code(code) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    std::int32_t code() const noexcept { return m_code; }

private:
    std::string m_message;
    std::int32_t m_code;
};
