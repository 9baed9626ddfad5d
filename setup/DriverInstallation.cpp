#include "setup/DriverInstallation.h"

#include <cstdio>
#include <cwchar>

// Driver installation is not part of this build yet: say so and fail.
bool InstallDriver(std::uint32_t& rebootNeeded)
{
    rebootNeeded = 0;
    std::fputws(L"install-driver is not available in this build\n", stderr);
    std::fflush(stderr);
    return false;
}
