#include "setup/RebootPrompt.h"

#include "driver/Devices.h"

#include <atomic>

namespace
{
std::atomic<bool> g_rebootPrompt{true};
}

bool RebootPromptEnabled() noexcept
{
    return g_rebootPrompt.load();
}

void SetRebootPrompt(bool enabled) noexcept
{
    g_rebootPrompt.store(enabled);
}

int PromptReboot(void* fileQueue, HWND ownerWindow, BOOL scanOnly)
{
    return driver::Devices().SetupPromptReboot(static_cast<HSPFILEQ>(fileQueue), ownerWindow, scanOnly);
}

int ExitCodeAfterSuccess(std::uint32_t rebootNeeded)
{
    if (rebootNeeded == 0)
    {
        return 0;
    }
    if (RebootPromptEnabled())
    {
        PromptReboot(nullptr, nullptr, FALSE);
    }
    return 2;
}
