#pragma once
#include <string>

// The -a command: creates one virtual audio device and its instance key; returns the exit code
// (0 done, 1 failed, 2 done with a reboot needed).
int AddDeviceCommand();

// The -r command: removes the device with the given instance id, or every device for "all", with
// their instance keys and stored files; returns the exit code like AddDeviceCommand.
int RemoveDeviceCommand(const std::wstring& argument);
