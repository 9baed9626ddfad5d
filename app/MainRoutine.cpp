#include "app/MainRoutine.h"

#include "app/FrontOperations.h"
#include "app/GetOptLong.h"
#include "app/ServiceParameters.h"
#include "app/Usage.h"
#include "diagnostics/BoundaryLog.h"
#include "diagnostics/Log.h"
#include "diagnostics/ThreadLabel.h"
#include "platform/TextConversion.h"
#include "setup/RebootPrompt.h"

#include <cstdint>
#include <exception>

namespace
{

constexpr wchar_t kShortOptions[] = L"hVveDar:bIUSRKPG";

const LongOption kLongOptions[] = {
    {L"help", ArgumentMode::None, nullptr, 'h'},
    {L"version", ArgumentMode::None, nullptr, 'V'},
    {L"verbose", ArgumentMode::None, nullptr, 'v'},
    {L"event-log", ArgumentMode::None, nullptr, 'e'},
    {L"install-driver", ArgumentMode::None, nullptr, 'D'},
    {L"add-device", ArgumentMode::None, nullptr, 'a'},
    {L"remove-device", ArgumentMode::Required, nullptr, 'r'},
    {L"reboot-info", ArgumentMode::None, nullptr, 'b'},
    {L"install-service", ArgumentMode::None, nullptr, 'I'},
    {L"uninstall-service", ArgumentMode::None, nullptr, 'U'},
    {L"start-service", ArgumentMode::None, nullptr, 'S'},
    {L"restart-service", ArgumentMode::None, nullptr, 'R'},
    {L"service", ArgumentMode::None, nullptr, 'G'},
    {L"stop-service", ArgumentMode::None, nullptr, 'K'},
    {L"set-service-parameters", ArgumentMode::None, nullptr, 'P'},
    {nullptr, ArgumentMode::None, nullptr, 0},
};

constexpr int kVerbosityInfo = static_cast<int>(velmar::LogSeverity::Info);

ServiceOperation ServiceOperationOf(int option)
{
    switch (option)
    {
    case 'I':
        return ServiceOperation::Install;
    case 'U':
        return ServiceOperation::Uninstall;
    case 'S':
        return ServiceOperation::Start;
    case 'R':
        return ServiceOperation::Restart;
    case 'G':
        return ServiceOperation::Run;
    case 'K':
        return ServiceOperation::Stop;
    case 'P':
        return ServiceOperation::SetParameters;
    default:
        return ServiceOperation::None;
    }
}

int InstallDriverCommand(FrontOperations& operations, int verbosity)
{
    operations.InitLogging(verbosity, LogTarget::Console);
    std::uint32_t rebootNeeded = 0;
    if (!operations.InstallDriver(rebootNeeded))
    {
        return 1;
    }
    if (rebootNeeded == 0)
    {
        return 0;
    }
    if (RebootPromptEnabled())
    {
        operations.SetupPromptReboot(nullptr, nullptr, FALSE);
    }
    return 2;
}

int ServiceCommand(FrontOperations& operations, ServiceOperation operation, int verbosity, bool eventLog,
                   const std::wstring& libraryFileName, CTraceProvider* traceProvider)
{
    const std::wstring parameters = ServiceParameterString(verbosity, eventLog);
    if (eventLog && operation == ServiceOperation::Install && !operations.RegisterEventLogSource())
    {
        return 1;
    }
    if (eventLog && operation == ServiceOperation::Uninstall)
    {
        operations.UnregisterEventLogSource();
    }
    if (operations.ExecuteServiceOperation(libraryFileName, traceProvider, operation, parameters))
    {
        operations.WriteOut(L"Service Operation Successful\n");
        return 0;
    }
    operations.WriteErr(L"Service Operation failed\n");
    return 1;
}

int GuardedProcessingRun(FrontOperations& operations, const ProcessingRunOptions& options)
{
    int exitCode = 1;
    CatchAndLog(velmar::LogSeverity::Fatal, L"", [&] { exitCode = operations.RunProcessing(options); });
    return exitCode;
}

} // namespace

int MainRoutine(int argc, wchar_t** argv, const std::wstring& libraryFileName, CTraceProvider* traceProvider)
{
    FrontOperations& operations = Operations();
    operations.PrepareLogging();
    SetThreadLabel(L"MAIN");

    const std::wstring programName = (argc > 0 && argv[0] != nullptr) ? argv[0] : L"";
    CGetOptLong scanner([&operations](const std::wstring& line) { operations.WriteErr(line); });
    scanner.Reset();

    int verbosity = kVerbosityInfo;
    bool eventLog = false;
    ServiceOperation serviceOperation = ServiceOperation::None;

    for (;;)
    {
        const int option = scanner.Next(argc, argv, kShortOptions, kLongOptions);
        if (option == -1)
        {
            break;
        }
        switch (option)
        {
        case 'h':
            operations.WriteOut(UsageText(programName));
            return 0;
        case 'V':
            operations.WriteOut(VersionText());
            return 0;
        case 'v':
            ++verbosity;
            break;
        case 'e':
            eventLog = true;
            break;
        case 'D':
            return InstallDriverCommand(operations, verbosity);
        case 'a':
            operations.InitLogging(verbosity, LogTarget::Console);
            return operations.AddDeviceCommand();
        case 'r':
            // An empty id ("--remove-device=") names no device either.
            if (scanner.Argument() == nullptr || *scanner.Argument() == L'\0')
            {
                operations.WriteErr(L"--remove-device needs a device id or 'all'\n");
                return 1;
            }
            operations.InitLogging(verbosity, LogTarget::Console);
            return operations.RemoveDeviceCommand(scanner.Argument());
        case 'b':
            SetRebootPrompt(false);
            break;
        case 'I':
        case 'U':
        case 'S':
        case 'R':
        case 'G':
        case 'K':
        case 'P':
            serviceOperation = ServiceOperationOf(option);
            break;
        default:
            operations.WriteErr(std::wstring(L"Invalid command line parameter ") +
                                static_cast<wchar_t>(option) + L"\n");
            operations.WriteErr(UsageText(programName));
            return 1;
        }
    }

    if (serviceOperation != ServiceOperation::None)
    {
        return ServiceCommand(operations, serviceOperation, verbosity, eventLog, libraryFileName,
                              traceProvider);
    }

    ProcessingRunOptions options;
    options.libraryFileName = libraryFileName;
    options.traceProvider = traceProvider;
    options.verbosity = verbosity;
    options.eventLog = eventLog;
    return GuardedProcessingRun(operations, options);
}
