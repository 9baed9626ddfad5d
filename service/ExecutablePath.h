#pragma once
#include <string>

// The full path of the running executable (GetModuleFileNameW of no module), however long; empty when
// the system cannot tell it.
std::wstring ExecutablePath();

// The folder part of a path: everything before its last "\" (the whole path when there is none).
std::wstring FolderOf(const std::wstring& path);
