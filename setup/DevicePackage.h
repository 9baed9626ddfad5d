#pragma once
// What the setup commands know of the virtual audio driver package and its devices.
#include "driver/InterfaceClass.h"

namespace setup
{

// The package, looked up in the current directory.
inline constexpr wchar_t kInfFileName[] = L"VirtualAudioOrvane.inf";
// The hardware id of every virtual audio device.
inline constexpr wchar_t kHardwareId[] = L"Root\\VirtualAudioOrvane";
// The control interface class every started device exposes.
using driver::kInterfaceClass;
// The size in characters of the path and id buffers handed to the system.
inline constexpr unsigned long kPathCharacters = 260;

} // namespace setup
