#include "setup/RebootPrompt.h"

#include <atomic>

#include <windows.h>
#include <setupapi.h>

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

int SystemSetupPromptReboot(void* fileQueue, void* ownerWindow, int scanOnly)
{
    return ::SetupPromptReboot(static_cast<HSPFILEQ>(fileQueue), static_cast<HWND>(ownerWindow), scanOnly);
}
