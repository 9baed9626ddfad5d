#pragma once
// The "Parameters" value of a service's key (HKLM\SYSTEM\CurrentControlSet\Services\<name>): the options
// text the service's own runs add to their argument vector.
#include <string>

namespace service
{

// The registry path of a service's key below HKEY_LOCAL_MACHINE.
std::wstring ServiceKeyPath(const std::wstring& serviceName);

// Stores the text as REG_SZ with its terminating NUL; an empty text deletes the
// value. Failures are ignored.
void WriteStoredParameters(const std::wstring& serviceName, const std::wstring& text);

// The stored text up to its first NUL; a value stored without terminator is read exactly. Empty when
// the key or the value is missing, unreadable or not a string.
std::wstring ReadStoredParameters(const std::wstring& serviceName);

} // namespace service
