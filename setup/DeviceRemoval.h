#pragma once
#include <cstdint>

// Removes the present virtual audio device whose instance id matches (letter case ignored), or every
// present device when the id is null. False when a step fails (logged at ERROR) or no device matches
// the id; removing all when there is no device succeeds. rebootNeeded is 1 when a removal needs a
// restart to finish. Devices removed before a failure stay removed.
bool RemoveDevices(const wchar_t* deviceInstanceId, std::uint32_t& rebootNeeded);
