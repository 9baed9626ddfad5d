#pragma once
// orvane-sim.exe run as a command, and what the tests read back from the service control manager and
// the registry. Every wait here is bounded.
#include "WaitUntil.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace servicetest
{

using ::WaitUntil;

constexpr const wchar_t* kServiceName = L"VELMAR ORVANE.CL drv";
constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\VELMAR ORVANE.CL drv";
constexpr const wchar_t* kSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ORVANE.CL.drv";

// orvane-sim.exe beside the tests.
std::wstring SimProgram();

struct CommandResult
{
    std::optional<DWORD> exitCode; // none when the command had to be killed at its limit
    std::wstring out;              // standard output, "\r\n" as "\n"
    std::wstring err;
    std::chrono::milliseconds elapsed{};
};

// Runs orvane-sim.exe with the arguments and waits for it, at most `limit`.
CommandResult RunCommand(const std::wstring& arguments,
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

// The service's status, none when it does not exist.
std::optional<SERVICE_STATUS_PROCESS> ServiceStatus();
DWORD ServiceState(); // 0 when it does not exist
bool ServiceExists();
// The process ends within the limit (or is gone already).
bool ProcessEnds(DWORD processId, std::chrono::milliseconds limit);

// Stops (bounded) and deletes the service and deletes the event-log source key, whatever state they
// are in. Done before and after every test so that no test leaves an auto-start service behind.
void RemoveServiceLeftovers();

// A REG_SZ or REG_EXPAND_SZ value below HKLM: the text up to its first NUL and its size in bytes.
struct StoredText
{
    std::wstring text;
    DWORD bytes = 0;
    DWORD type = 0;
};
std::optional<StoredText> ReadText(const std::wstring& key, const wchar_t* name);

} // namespace servicetest
