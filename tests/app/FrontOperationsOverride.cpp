#include "FrontOperationsOverride.h"

CRecordingOperations::CRecordingOperations() : m_saved(Operations())
{
    FrontOperations& operations = Operations();
    operations.PrepareLogging = [this] { calls.push_back(L"PrepareLogging"); };
    operations.InitLogging = [this](int verbosity, LogTarget target)
    {
        calls.push_back(L"InitLogging " + std::to_wstring(verbosity) +
                        (target == LogTarget::EventLog ? L" eventlog" : L" console"));
    };
    operations.InstallDriver = [this](std::uint32_t& rebootNeeded)
    {
        calls.push_back(L"InstallDriver " + std::to_wstring(rebootNeeded));
        rebootNeeded = installReboot;
        return installResult;
    };
    operations.SetupPromptReboot = [this](void* fileQueue, HWND owner, BOOL scanOnly)
    {
        calls.push_back(std::wstring(L"SetupPromptReboot ") + (fileQueue ? L"queue " : L"null ") +
                        (owner ? L"window " : L"null ") + std::to_wstring(scanOnly));
        return 0;
    };
    operations.AddDeviceCommand = [this]
    {
        calls.push_back(L"AddDeviceCommand");
        return addResult;
    };
    operations.RemoveDeviceCommand = [this](const std::wstring& argument)
    {
        calls.push_back(L"RemoveDeviceCommand " + argument);
        return removeResult;
    };
    operations.RegisterEventLogSource = [this]
    {
        calls.push_back(L"RegisterEventLogSource");
        return registerResult;
    };
    operations.UnregisterEventLogSource = [this] { calls.push_back(L"UnregisterEventLogSource"); };
    operations.ExecuteServiceOperation = [this](const std::wstring& libraryFileName, CTraceProvider* provider,
                                                ServiceOperation operation, const std::wstring& parameters)
    {
        calls.push_back(L"Execute " + std::to_wstring(static_cast<int>(operation)) + L" '" + parameters +
                        L"'");
        serviceLibrary = libraryFileName;
        serviceProvider = provider;
        return executeResult;
    };
    operations.RunProcessing = [this](const ProcessingRunOptions& options)
    {
        calls.push_back(L"RunProcessing " + std::to_wstring(options.verbosity) +
                        (options.eventLog ? L" eventlog" : L" console"));
        processing = options;
        return processingResult;
    };
    operations.WriteOut = [this](const std::wstring& text) { out += text; };
    operations.WriteErr = [this](const std::wstring& text) { err += text; };
}

CRecordingOperations::~CRecordingOperations()
{
    Operations() = m_saved;
}
