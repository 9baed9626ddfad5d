#pragma once
#include <string>
#include <string_view>

// The calling thread's label, printed in brackets by the log layouts ("MAIN", an instance name).
// Empty until the thread sets it; labels longer than kThreadLabelCapacity are cut.
//
// The label lives in trivially destructible thread-local storage: threads the system or the
// processing library create (console control events, the library's web server) log through us too,
// and a thread-local object with a destructor makes MinGW run that destructor from the thread's exit
// callbacks, inside the loader lock, where it has hung whole shutdowns.
inline constexpr std::size_t kThreadLabelCapacity = 256;
std::wstring_view GetThreadLabel() noexcept;
void SetThreadLabel(std::wstring_view label) noexcept;
