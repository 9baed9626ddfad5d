#pragma once
// Writing one string property of an active audio endpoint in the system's endpoint store.
#include <optional>
#include <string>

#include <windows.h>
#include <mmdeviceapi.h>
#include <wtypes.h>

// The endpoint's description ({A45C254E-DF1C-4EFD-8020-67D146A850E0}, 2), the name shown for it.
inline constexpr PROPERTYKEY kDeviceDescriptionKey{
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 2};

// Sets the property key of the active endpoint whose own device instance id (PKEY_Device_InstanceId)
// is deviceInstanceId, letter case aside (a child id of the virtual device), to the text value, and
// commits it. Endpoints are opened for reading to be matched; only the matching one is opened for
// writing. Initialises and uninitialises COM (multithreaded apartment) around its work, so it fails
// on a thread that already uses another apartment model. False when COM, the enumerator or the
// endpoint list is unavailable, when no active endpoint belongs to that device, or when the write
// fails.
bool SetEndpointStringProperty(const std::wstring& deviceInstanceId, const PROPERTYKEY& key,
                               const wchar_t* value);

// The endpoint's own device instance id (PKEY_Device_InstanceId), read through a read-only property
// store; nothing when it cannot be read or is not a string.
std::optional<std::wstring> EndpointDeviceInstanceId(IMMDevice& endpoint);
