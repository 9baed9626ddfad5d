#pragma once
// The class of the control interface every device of the virtual audio driver exposes (the INF
// registers it; the processing host watches it, the setup commands and the device world use it).
#include <guiddef.h>

namespace driver
{

inline constexpr GUID kInterfaceClass = {
    0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};

} // namespace driver
