#pragma once
// Makes an instance's display name visible: the library's processor name, the description of the
// device's audio endpoints and the friendly names of its kernel-streaming pins.
#include <string>

#include <windows.h>

class CProcessingInstance;

// The processor name request for the library.
std::string ProcessorNameRequest(const std::wstring& name);

// Sends the processor name (std::bad_alloc when the library gives no client; nothing else is then
// done), sets the description of every endpoint of the device, then writes the pin names group by
// group. A registry failure ends its group and is printed on standard error as
// "Failed to set KS pin name in registry key for <name>: <error text>"; the next group is still
// written. Endpoint failures are logged where they happen and do not stop the naming.
void NameDevice(const std::wstring& interfacePath, const CProcessingInstance& instance,
                const std::wstring& name);
