#pragma once
#include <string>

// The instance id of a device from its interface path: drop the "\\?\" prefix (paths longer than 4
// characters only), cut at the last "#{" (the interface class GUID) and write every "\" as "#".
// "\\?\A#B#C#{guid}\ref" and the instance id "A\B\C" both give "A#B#C".
std::wstring InstanceIdFromPath(const std::wstring& path);
