#pragma once
#include "setup/CommandConsole.h"

#include <string>

// The -a command: creates one virtual audio device, prints its instance id and creates its instance
// key; returns the exit code (0 done, 1 failed, 2 done with a reboot needed). A key that cannot be
// created is reported and does not change the exit code.
int AddDeviceCommand(const CommandConsole& console = StandardConsole());

// The -r command: removes the device with the given instance id ("ROOT#MEDIA#0000" as -a prints it), or
// every device for "all", then deletes their instance keys and storage directories; returns the exit
// code like AddDeviceCommand. When the removal fails nothing else is touched; key and storage failures
// are reported and do not change the exit code.
int RemoveDeviceCommand(const std::wstring& argument, const CommandConsole& console = StandardConsole());
