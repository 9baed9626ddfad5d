#pragma once
// The audio endpoint store of the device world: an IMMDeviceEnumerator over the endpoints of the
// started devices, with property stores whose string values live in the shared store (so another
// process, or a test, reads back what was written). The objects are free-threaded and reference
// counted; each deletes itself when its count reaches zero. While notification clients are registered
// an enumerator calls them from a thread of its own with what changed in the store (an endpoint added,
// removed, or its reported state changed: endpoints appear some time after their device starts);
// registering or unregistering from inside a callback is counted as a violation, as it deadlocks on
// Windows.
#include <windows.h>
#include <mmdeviceapi.h>

namespace simulation
{

// A new enumerator with a count of 1.
IMMDeviceEnumerator* CreateEndpointEnumerator();

} // namespace simulation
