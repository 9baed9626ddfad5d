#pragma once
#include <string>

// The option summary, one line per option, the first line naming the program as given.
std::wstring UsageText(const std::wstring& programName);
