#include "setup/SetupError.h"

#include "diagnostics/Log.h"
#include "platform/SystemError.h"

namespace setup
{

void LogSetupError(const std::wstring& text, std::uint32_t error)
{
    VLOG(velmar::LogSeverity::Error) << text << ToHex(error) << L" " << FormatSystemError(error);
}

} // namespace setup
