#pragma once
// The audio endpoints of one virtual device, from the device tree.
#include <string>
#include <vector>

#include <windows.h>

// The device instance ids of the children (the audio endpoints) of the device that presents the
// interface link, in the order the device tree lists them; empty when there are none or they cannot
// be read. An endpoint is matched to one of them through its own device instance id, never by
// parsing its endpoint id.
std::vector<std::wstring> GetDeviceChildren(const std::wstring& link, const GUID& interfaceClass);
