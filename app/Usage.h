#pragma once
#include <string>

// The option summary, one line per option, the first line naming the program as given.
std::wstring UsageText(const std::wstring& programName);

// The line printed by -V: the program version (the project version of the build) and a line feed.
std::wstring VersionText();
