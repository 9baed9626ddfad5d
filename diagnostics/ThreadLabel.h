#pragma once
#include <string>

// The calling thread's label, printed in brackets by the log layouts ("MAIN", an instance name).
// Empty until the thread sets it.
const std::wstring& GetThreadLabel() noexcept;
void SetThreadLabel(const std::wstring& label);
