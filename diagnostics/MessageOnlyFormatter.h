#pragma once
#include <plog/Record.h>

#include <string>

namespace velmar
{

// Event-log text: "[label] message\n", or just "message\n" on a thread without label.
struct MessageOnlyFormatter
{
    static std::wstring header() { return {}; }
    static std::wstring format(const plog::Record& record);
};

} // namespace velmar
