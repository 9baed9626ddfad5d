#pragma once
// A service key's "DependOnService" value: a REG_MULTI_SZ list of service names.
#include <string>
#include <vector>

#include <windows.h>

namespace service
{

// Reads the list (at most 1024 bytes) into names: the non-empty names in order. Returns the registry
// status: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when the value does not exist (names empty), ERROR_MORE_DATA
// for a longer value or any other failure.
LONG ReadDependOnService(HKEY serviceKey, std::vector<std::wstring>& names);

// Writes the names, each followed by a NUL, then one more NUL. Failures are ignored.
void WriteDependOnService(HKEY serviceKey, const std::vector<std::wstring>& names);

// Deletes the value. Failures are ignored.
void DeleteDependOnService(HKEY serviceKey);

} // namespace service
