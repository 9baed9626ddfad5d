#pragma once
#include <cstdint>

#include <windows.h>

// Process-wide: whether a command that needs a reboot asks the user (SetupPromptReboot) before it
// exits with 2. On at process start; the -b option turns it off.
bool RebootPromptEnabled() noexcept;
void SetRebootPrompt(bool enabled) noexcept;

// The reboot prompt of the device table (SetupPromptReboot with the given file queue, owner window and
// scan-only flag); returns its result.
int PromptReboot(void* fileQueue, HWND ownerWindow, BOOL scanOnly);

// The exit code of a command that succeeded: 0, or 2 when a reboot is needed, after the prompt (no
// file queue, no owner window, not scan-only) unless the prompt is turned off.
int ExitCodeAfterSuccess(std::uint32_t rebootNeeded);
