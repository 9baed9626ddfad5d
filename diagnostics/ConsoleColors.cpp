#include "diagnostics/ConsoleColors.h"

namespace velmar
{

std::optional<std::uint16_t> SeverityConsoleAttribute(int severity, std::uint16_t savedAttributes) noexcept
{
    // Foreground per severity 2..10 (ERROR, WARN, INFO, VERB, VERB2..VERB5, DEBUG).
    static const std::uint16_t foregrounds[] = {0x0C, 0x0E, 0x0F, 0x0B, 0x0D, 0x03, 0x05, 0x09, 0x07};
    if (severity == 1)
    {
        return std::uint16_t{0x4F};
    }
    if (severity < 2 || severity > 10)
    {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>((savedAttributes & 0xF0) | foregrounds[severity - 2]);
}

} // namespace velmar
