#pragma once
#include <cstdint>
#include <optional>

namespace velmar
{

// The console attribute a record of this severity is written with, given the attributes the console
// had when the appender was built: FATAL is bright white on red whatever was saved, ERROR..DEBUG keep
// the saved background and set their own foreground. Empty for severities outside 1..10 (colour unchanged).
std::optional<std::uint16_t> SeverityConsoleAttribute(int severity, std::uint16_t savedAttributes) noexcept;

} // namespace velmar
