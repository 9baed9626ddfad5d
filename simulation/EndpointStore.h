#pragma once
// The audio endpoint store of the device world: an IMMDeviceEnumerator over the endpoints of the
// started devices, with property stores whose string values live in the shared store (so another
// process, or a test, reads back what was written). The objects are free-threaded and reference
// counted; each deletes itself when its count reaches zero.
#include <windows.h>
#include <mmdeviceapi.h>

namespace simulation
{

// A new enumerator with a count of 1.
IMMDeviceEnumerator* CreateEndpointEnumerator();

} // namespace simulation
