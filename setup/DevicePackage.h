#pragma once
// What the setup commands know of the virtual audio driver package and its devices.
#include <guiddef.h>

namespace setup
{

// The package, looked up in the current directory.
inline constexpr wchar_t kInfFileName[] = L"VirtualAudioOrvane.inf";
// The hardware id of every virtual audio device.
inline constexpr wchar_t kHardwareId[] = L"Root\\VirtualAudioOrvane";
// The control interface class every started device exposes.
inline constexpr GUID kInterfaceClass = {
    0x19e108d8, 0x935a, 0x460c, {0x9f, 0x52, 0xcd, 0xc7, 0xc6, 0x32, 0x92, 0xe1}};
// The size in characters of the path and id buffers handed to the system.
inline constexpr unsigned long kPathCharacters = 260;

} // namespace setup
