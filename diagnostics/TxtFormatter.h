#pragma once
#include <plog/Record.h>

#include <string>

namespace velmar
{

// Console line: "YYYY-MM-DD hh:mm:ss.mmm NAME  [label] message\n" in local time. The label of the
// formatting thread is left out when it is empty or when the message itself starts with "[".
struct TxtFormatter
{
    static std::wstring header() { return {}; }
    static std::wstring format(const plog::Record& record);
};

} // namespace velmar
