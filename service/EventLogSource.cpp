#include "service/EventLogSource.h"

#include <cstdio>
#include <cwchar>

// Event-log source registration is not part of this build yet: say so and fail.
bool RegisterEventLogSource()
{
    std::fputws(L"event-log registration is not available in this build\n", stderr);
    std::fflush(stderr);
    return false;
}

bool UnregisterEventLogSource()
{
    std::fputws(L"event-log unregistration is not available in this build\n", stderr);
    std::fflush(stderr);
    return false;
}
