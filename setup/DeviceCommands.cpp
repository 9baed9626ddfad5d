#include "setup/DeviceCommands.h"

#include <cstdio>
#include <cwchar>

// Device creation and removal are not part of this build yet: say so and fail.
int AddDeviceCommand()
{
    std::fputws(L"add-device is not available in this build\n", stderr);
    std::fflush(stderr);
    return 1;
}

int RemoveDeviceCommand(const std::wstring&)
{
    std::fputws(L"remove-device is not available in this build\n", stderr);
    std::fflush(stderr);
    return 1;
}
