#pragma once
#include <cstdint>
#include <exception>
#include <string>

// A failed event operation: a fixed message and the system code (or the raw wait result).
class EventError : public std::exception
{
public:
    EventError(std::string message, std::int32_t code) : m_message(std::move(message)), m_code(code) {}
    const char* what() const noexcept override { return m_message.c_str(); }
    std::int32_t code() const noexcept { return m_code; }

private:
    std::string m_message;
    std::int32_t m_code;
};
