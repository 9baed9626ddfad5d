#pragma once
#include <string>

namespace driver
{

// The C runtime's text for an error number (_wcserror), "(null)" when the runtime has none.
// The device-interface watcher applies it to the thread's last system error code.
std::wstring CrtErrorText(int code);

} // namespace driver
