#pragma once
#include <windows.h>

namespace simulation
{

enum class RemovalKind : DWORD
{
    Orderly = 1,   // query-remove, wait for the holder, then remove (or fail when vetoed/kept)
    WorldVeto = 2, // like Orderly, but the device itself refuses after the query
    Surprise = 3,  // no query: the channel breaks, remove-complete, interface gone
};

enum class RemovalOutcome : DWORD
{
    Pending = 0,
    Removed = 1,
    Vetoed = 2,
    NotFound = 3,
    TimedOut = 4, // the serving world did not answer a request
};

const wchar_t* RemovalOutcomeName(RemovalOutcome outcome);

} // namespace simulation
