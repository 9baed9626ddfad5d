#pragma once
// Writing one string property of an active audio endpoint in the system's endpoint store.
#include <string>

#include <windows.h>
#include <wtypes.h>

// The endpoint's description ({A45C254E-DF1C-4EFD-8020-67D146A850E0}, 2), the name shown for it.
inline constexpr PROPERTYKEY kDeviceDescriptionKey{
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};

// Sets the property key of the active endpoint whose id equals endpointId exactly (case-sensitive) to
// the text value. Initialises and uninitialises COM (multithreaded apartment) around its work, so
// it fails on a thread that already uses another apartment model. False when COM, the enumerator or
// the endpoint list is unavailable, when no active endpoint has that id, or when the write fails.
bool SetEndpointStringProperty(const std::wstring& endpointId, const PROPERTYKEY& key, const wchar_t* value);
