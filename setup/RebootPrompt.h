#pragma once

// Process-wide: whether a command that needs a reboot asks the user (SetupPromptReboot) before it
// exits with 2. On at process start; the -b option turns it off.
bool RebootPromptEnabled() noexcept;
void SetRebootPrompt(bool enabled) noexcept;

// The system's reboot prompt (SetupPromptReboot with the given file queue, owner window and scan-only
// flag); returns its result.
int SystemSetupPromptReboot(void* fileQueue, void* ownerWindow, int scanOnly);
