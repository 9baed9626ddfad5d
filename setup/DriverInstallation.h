#pragma once
#include <cstdint>

// Installs or updates the virtual audio driver package and moves existing devices onto it. True on
// success; rebootNeeded is then non-zero when a reboot is needed to finish.
bool InstallDriver(std::uint32_t& rebootNeeded);
