#pragma once
#include <string>

// The instance id of a device from its interface path: drop the first 4 characters (the "\\?\" prefix;
// only when the path is longer than 4 characters, and whatever they are), cut at the last "#{" (the
// interface class GUID) and write every remaining "\" as "#". "\\?\A#B#C#{guid}\ref" gives "A#B#C".
// It is meant for interface paths only: a bare device instance id loses its first 4 characters
// ("A\B\C" gives "C"); to turn an instance id into an id, replace its "\" by "#" (the add-device
// command does).
std::wstring InstanceIdFromPath(const std::wstring& path);
