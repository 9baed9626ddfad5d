#include "app/FrontOperations.h"

#include "app/MainRoutine.h"
#include "app/ProcessingRun.h"
#include "diagnostics/Appenders.h"
#include "diagnostics/Log.h"
#include "platform/ConsoleText.h"
#include "service/EventLogSource.h"
#include "service/ProcessWinService.h"
#include "setup/DeviceCommands.h"
#include "setup/DriverInstallation.h"
#include "setup/RebootPrompt.h"

#include <plog/Init.h>

#include <cstdio>
#include <cwchar>

namespace
{

void WriteTo(DWORD which, const std::wstring& text)
{
    platform::WriteStandardText(which, text);
}

// The commands write their console text through the front end's table, as the main routine does.
CommandConsole FrontConsole()
{
    return CommandConsole{[](const std::wstring& text) { Operations().WriteOut(text); },
                          [](const std::wstring& text) { Operations().WriteErr(text); }};
}

} // namespace

FrontOperations DefaultFrontOperations()
{
    FrontOperations operations;
    operations.PrepareLogging = []
    {
        GetColorConsoleAppender();
        GetEventLogAppender();
    };
    operations.InitLogging = [](int verbosity, LogTarget target)
    {
        plog::IAppender& appender =
            target == LogTarget::EventLog ? GetEventLogAppender() : GetColorConsoleAppender();
        plog::init<0>(velmar::ToPlog(static_cast<velmar::LogSeverity>(verbosity)), &appender);
    };
    operations.InstallDriver = [](std::uint32_t& rebootNeeded) { return ::InstallDriver(rebootNeeded); };
    operations.SetupPromptReboot = [](void* fileQueue, HWND owner, BOOL scanOnly)
    { return PromptReboot(fileQueue, owner, scanOnly); };
    operations.AddDeviceCommand = [] { return ::AddDeviceCommand(FrontConsole()); };
    operations.RemoveDeviceCommand = [](const std::wstring& argument)
    { return ::RemoveDeviceCommand(argument, FrontConsole()); };
    operations.RegisterEventLogSource = [] { return ::RegisterEventLogSource(); };
    operations.UnregisterEventLogSource = [] { ::UnregisterEventLogSource(); };
    operations.ExecuteServiceOperation = [](const std::wstring& libraryFileName,
                                            CTraceProvider* traceProvider, ServiceOperation operation,
                                            const std::wstring& parameters)
    {
        CProcessWinService service(libraryFileName, traceProvider, &MainRoutine);
        return service.Execute(operation, parameters);
    };
    operations.RunProcessing = [](const ProcessingRunOptions& options) { return RunProcessing(options); };
    operations.WriteOut = [](const std::wstring& text) { WriteTo(STD_OUTPUT_HANDLE, text); };
    operations.WriteErr = [](const std::wstring& text) { WriteTo(STD_ERROR_HANDLE, text); };
    return operations;
}

FrontOperations& Operations()
{
    static FrontOperations operations = DefaultFrontOperations();
    return operations;
}
