#pragma once
#include <cstdint>
#include <string>

namespace setup
{

// Logs at ERROR the text, the error code in lower-case hexadecimal and, after a blank, the system's
// text for the code: "SetupDiCreateDeviceInfo failed: 5 Access denied.\r\n".
void LogSetupError(const std::wstring& text, std::uint32_t error);

} // namespace setup
