#pragma once
#include <functional>
#include <string>

// Where a command's console text goes: results (out) and failures (err).
struct CommandConsole
{
    std::function<void(const std::wstring& text)> out;
    std::function<void(const std::wstring& text)> err;
};

// Standard output and standard error, flushed after each text.
CommandConsole StandardConsole();
