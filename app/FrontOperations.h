#pragma once
// The operations the main routine dispatches to, in one process-wide table. Each entry starts out as
// the real operation; a test replaces entries to record what the main routine asks for.
#include "service/ServiceOperation.h"

#include <cstdint>
#include <functional>
#include <string>

#include <windows.h>

class CTraceProvider;

// Which appender a run logs through.
enum class LogTarget
{
    Console,
    EventLog,
};

// What a processing run is started with.
struct ProcessingRunOptions
{
    std::wstring libraryFileName;
    CTraceProvider* traceProvider = nullptr;
    int verbosity = 4;
    bool eventLog = false;
};

struct FrontOperations
{
    // Builds both appenders (first use in the process) before a run scans its options.
    std::function<void()> PrepareLogging;
    // plog::init<0> with the given maximum severity and the appender of the target.
    std::function<void(int verbosity, LogTarget target)> InitLogging;

    std::function<bool(std::uint32_t& rebootNeeded)> InstallDriver;
    std::function<int(void* fileQueue, HWND owner, BOOL scanOnly)> SetupPromptReboot;
    std::function<int()> AddDeviceCommand;
    std::function<int(const std::wstring& argument)> RemoveDeviceCommand;

    // False only when the source key cannot be created (the run then ends with exit code 1).
    std::function<bool()> RegisterEventLogSource;
    // Never fails: the uninstallation follows whatever happened here.
    std::function<void()> UnregisterEventLogSource;
    // CWinService::Execute on a CProcessWinService built with the library file name and provider.
    std::function<bool(const std::wstring& libraryFileName, CTraceProvider* traceProvider,
                       ServiceOperation operation, const std::wstring& parameters)>
        ExecuteServiceOperation;

    // The processing run; returns the exit code.
    std::function<int(const ProcessingRunOptions& options)> RunProcessing;

    // Console text: results on standard output, failures on standard error.
    std::function<void(const std::wstring& text)> WriteOut;
    std::function<void(const std::wstring& text)> WriteErr;
};

// The table with every entry set to the real operation.
FrontOperations DefaultFrontOperations();

// The process-wide table the main routine uses.
FrontOperations& Operations();
