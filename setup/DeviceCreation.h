#pragma once
#include <cstdint>
#include <string>

// Creates one root-enumerated virtual audio device from the driver package in the current directory
// and installs its driver. Returns the new device's instance id ("ROOT\MEDIA\0000"), empty on failure
// (logged at ERROR). rebootNeeded is non-zero when the device installation asks for a reboot. A device
// registered before a later step fails stays registered.
std::wstring CreateDevice(std::uint32_t& rebootNeeded);
