#pragma once
// The audio endpoints of one virtual device, from the device tree.
#include <string>
#include <vector>

#include <windows.h>

// The endpoint ids (the text after the last "\" of each child device id) of the device that
// presents the interface link, in the order the device tree lists them; empty when there are none
// or they cannot be read.
std::vector<std::wstring> GetDeviceChildren(const std::wstring& link, const GUID& interfaceClass);
