#pragma once
// The service control manager's calls, the waits of the stop polling and the console text of the
// service commands, where a test must be able to substitute or fail a call. Every entry starts out as
// the real function; a test swaps a single entry (tests/support/ApiOverride.h) and restores it after.
#include <string>

#include <windows.h>

#include <aclapi.h>

namespace service
{

struct ServiceApi
{
    decltype(&::OpenSCManagerW) OpenSCManagerW;
    decltype(&::OpenServiceW) OpenServiceW;
    decltype(&::CreateServiceW) CreateServiceW;
    decltype(&::ChangeServiceConfig2W) ChangeServiceConfig2W;
    decltype(&::StartServiceW) StartServiceW;
    decltype(&::ControlService) ControlService;
    decltype(&::QueryServiceStatusEx) QueryServiceStatusEx;
    decltype(&::DeleteService) DeleteService;
    decltype(&::SetServiceStatus) SetServiceStatus;

    // The clock and the sleep of the stop polling.
    decltype(&::GetTickCount64) GetTickCount64;
    decltype(&::Sleep) Sleep;

    // The security of the executable's folder and of the library beside it.
    decltype(&::GetNamedSecurityInfoW) GetNamedSecurityInfoW;

    // A failure's reason for the person at the console: standard error, flushed.
    void (*WriteError)(const std::wstring& text);
};

// The process-wide table, initialised to the real functions.
ServiceApi& Api();

// The error text of a failed call, as the commands print it: the code in lower-case hexadecimal, a
// blank and the system's message.
std::wstring SystemErrorText(DWORD error);

} // namespace service
