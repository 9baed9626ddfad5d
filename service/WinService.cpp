#include "service/WinService.h"

#include "diagnostics/Log.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/UniqueHandle.h"
#include "service/DependOnService.h"
#include "service/ExecutablePath.h"
#include "service/ServiceControlManager.h"
#include "service/ServiceEntry.h"
#include "service/StoredParameters.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace
{

// The stop polling: the service reports a wait hint of 0 while it stops, so every round sleeps at
// least this long, and gives up after the budget.
constexpr DWORD kMinimumPollMs = 100;
constexpr std::chrono::seconds kStopBudget{30};

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

} // namespace

CWinService::CWinService(std::wstring serviceName, std::wstring displayName, std::wstring description,
                         std::vector<std::wstring> dependencies, std::vector<std::wstring> dependents,
                         ServiceFailureActions failureActions)
    : m_serviceName(std::move(serviceName)), m_displayName(std::move(displayName)),
      m_description(std::move(description)), m_dependencies(std::move(dependencies)),
      m_dependents(std::move(dependents)), m_failureActions(std::move(failureActions))
{
}

CWinService::~CWinService() = default;

int CWinService::Run(int, wchar_t**)
{
    return 0;
}

bool CWinService::Execute(std::uint8_t operation, const std::wstring& parameters)
{
    switch (operation)
    {
    case ServiceOperationInstall:
        return Install(parameters);
    case ServiceOperationUninstall:
        return Uninstall();
    case ServiceOperationStart:
        return Start(std::wstring());
    case ServiceOperationRestart:
        Stop();
        return Start(std::wstring());
    case ServiceOperationRun:
        return RunAsService();
    case ServiceOperationStop:
        return Stop();
    case ServiceOperationSetParameters:
        return SetParameters(parameters);
    default:
        return true;
    }
}

bool CWinService::Install(const std::wstring& parameters)
{
    if (m_serviceName.empty())
    {
        return false;
    }
    if (service::ServiceExists(m_serviceName))
    {
        return true;
    }
    {
        const platform::UniqueServiceHandle manager = service::OpenServiceManager();
        const std::wstring executable = ExecutablePath();
        if (!manager || executable.empty())
        {
            return false;
        }
        const std::wstring imagePath = L"\"" + executable + L"\" --service";
        const platform::UniqueServiceHandle created(
            ::CreateServiceW(manager.get(), m_serviceName.c_str(), m_displayName.c_str(), SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                             imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!created)
        {
            return false;
        }
        std::vector<SC_ACTION> actions = m_failureActions.actions;
        SERVICE_FAILURE_ACTIONSW failure{};
        failure.dwResetPeriod = m_failureActions.resetPeriod;
        failure.lpRebootMsg = const_cast<wchar_t*>(m_failureActions.rebootMessage);
        failure.lpCommand = const_cast<wchar_t*>(m_failureActions.command);
        failure.cActions = static_cast<DWORD>(actions.size());
        failure.lpsaActions = actions.empty() ? nullptr : actions.data();
        ::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
        if (!m_description.empty())
        {
            std::wstring description = m_description;
            SERVICE_DESCRIPTIONW text{description.data()};
            ::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_DESCRIPTION, &text);
        }
    }
    UpdateDependencies(true);
    if (!parameters.empty())
    {
        WriteParameters(parameters);
    }
    return Start(std::wstring());
}

bool CWinService::Uninstall()
{
    Stop();
    if (!service::ServiceExists(m_serviceName))
    {
        return false;
    }
    if (!Stop())
    {
        return false;
    }
    UpdateDependencies(false);
    const service::COpenedService opened = service::OpenExistingService(m_serviceName);
    return opened && ::DeleteService(opened.service.get()) != FALSE;
}

bool CWinService::Start(const std::wstring& parameters)
{
    if (!service::ServiceExists(m_serviceName))
    {
        return false;
    }
    if (!parameters.empty())
    {
        WriteParameters(parameters);
    }
    const service::COpenedService opened = service::OpenExistingService(m_serviceName);
    if (!opened)
    {
        return false;
    }
    ::StartServiceW(opened.service.get(), 0, nullptr);
    return service::QueryStatus(opened.service.get()).has_value();
}

bool CWinService::Stop()
{
    const service::COpenedService opened = service::OpenExistingService(m_serviceName);
    if (!opened)
    {
        return false;
    }
    const SC_HANDLE service = opened.service.get();
    std::optional<SERVICE_STATUS_PROCESS> status = service::QueryStatus(service);
    if (!status)
    {
        return false;
    }
    if (status->dwCurrentState != SERVICE_RUNNING)
    {
        return true;
    }
    SERVICE_STATUS control{};
    if (!::ControlService(service, SERVICE_CONTROL_STOP, &control))
    {
        const DWORD error = ::GetLastError();
        VLOG(velmar::LogSeverity::Error) << L"The stop request was refused (state " << control.dwCurrentState
                                         << L"): " << FormatSystemError(error);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopBudget;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            VLOG(velmar::LogSeverity::Error) << L"The service did not stop within " << kStopBudget.count()
                                             << L" s (state " << status->dwCurrentState << L")";
            return false;
        }
        const DWORD sleep =
            std::min<DWORD>(std::max(status->dwWaitHint, kMinimumPollMs), static_cast<DWORD>(left.count()));
        std::this_thread::sleep_for(std::chrono::milliseconds(sleep));
        status = service::QueryStatus(service);
        if (!status)
        {
            return false;
        }
        if (status->dwCurrentState == SERVICE_STOPPED)
        {
            return true;
        }
    }
}

bool CWinService::SetParameters(const std::wstring& parameters)
{
    const bool wasRunning = IsRunning();
    if (wasRunning)
    {
        Stop();
    }
    bool result = false;
    if (service::ServiceExists(m_serviceName))
    {
        WriteParameters(parameters);
        result = true;
    }
    if (wasRunning)
    {
        Start(std::wstring());
    }
    return result;
}

bool CWinService::IsRunning() const
{
    const service::COpenedService opened = service::OpenExistingService(m_serviceName);
    if (!opened)
    {
        return false;
    }
    const std::optional<SERVICE_STATUS_PROCESS> status = service::QueryStatus(opened.service.get());
    return status && status->dwCurrentState == SERVICE_RUNNING;
}

void CWinService::WriteParameters(const std::wstring& parameters)
{
    service::WriteStoredParameters(m_serviceName, parameters);
}

void CWinService::UpdateDependencies(bool install)
{
    platform::UniqueKey services;
    if (platform::Api().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ | KEY_WRITE,
                                      services.put()) != ERROR_SUCCESS)
    {
        return;
    }
    for (const std::wstring& dependent : m_dependents)
    {
        platform::UniqueKey key;
        if (platform::Api().RegOpenKeyExW(services.get(), dependent.c_str(), 0, KEY_READ | KEY_WRITE,
                                          key.put()) != ERROR_SUCCESS)
        {
            continue;
        }
        std::vector<std::wstring> names;
        const LONG read = service::ReadDependOnService(key.get(), names);
        if (install)
        {
            if (read == ERROR_SUCCESS || read == ERROR_FILE_NOT_FOUND)
            {
                names.push_back(m_serviceName);
                service::WriteDependOnService(key.get(), names);
            }
            continue;
        }
        if (read != ERROR_SUCCESS)
        {
            continue;
        }
        names.erase(std::remove(names.begin(), names.end(), m_serviceName), names.end());
        if (names.empty())
        {
            service::DeleteDependOnService(key.get());
        }
        else
        {
            service::WriteDependOnService(key.get(), names);
        }
    }
    if (install && !m_dependencies.empty())
    {
        platform::UniqueKey own;
        if (platform::Api().RegOpenKeyExW(services.get(), m_serviceName.c_str(), 0, KEY_READ | KEY_WRITE,
                                          own.put()) == ERROR_SUCCESS)
        {
            service::WriteDependOnService(own.get(), m_dependencies);
        }
    }
}

bool CWinService::RunAsService()
{
    if (m_serviceName.empty())
    {
        return false;
    }
    // An own-process service may name itself with an empty text in the table.
    wchar_t emptyName[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{emptyName, &ServiceMain}, {nullptr, nullptr}};
    SetCurrentService(this);
    const BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
    SetCurrentService(nullptr);
    return dispatched != FALSE;
}
