#pragma once
// Whether users who are not administrators can change the files the service loads: its own folder
// and the processing library beside it. The service runs as the local system, so a library planted
// there by such a user would run with the system's rights.
#include <string>
#include <vector>

#include <windows.h>

// True when the DACL grants write, append, delete or a take-over of the object to Users,
// Authenticated Users, Everyone or INTERACTIVE (an allow entry that applies to the object itself), or
// when there is no DACL at all.
bool WritableByNonAdministrators(const ACL* dacl);

// Warns on standard error and in the event log about each path whose security lets such users
// write it. A path whose security cannot be read (a library not installed yet) is passed over.
void WarnIfWritableByNonAdministrators(const std::vector<std::wstring>& paths);
