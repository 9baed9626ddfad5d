#pragma once
// A property key as the endpoint store names its values: "{A45C254E-DF1C-4EFD-8020-67D146A850E0},2".
#include <optional>
#include <string>

#include <windows.h>

namespace simulation
{

std::wstring PropertyKeyText(const GUID& fmtid, DWORD pid);
// The reverse; nothing for text that is not a key.
std::optional<std::pair<GUID, DWORD>> ParsePropertyKeyText(const std::wstring& text);

} // namespace simulation
