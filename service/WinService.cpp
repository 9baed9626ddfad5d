#include "service/WinService.h"

#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"
#include "service/DependOnService.h"
#include "service/ExecutablePath.h"
#include "service/ServiceApi.h"
#include "service/ServiceControlManager.h"
#include "service/ServiceEntry.h"
#include "service/StoredParameters.h"

#include <algorithm>
#include <optional>

namespace
{

// The stop polling sleeps a tenth of the wait hint the service reported, as the system's own stop
// loop does, but at least 100 ms (a service may report a hint of 0) and at most 10 s, and gives up
// when the budget is used up.
constexpr DWORD kMinimumPollMs = 100;
constexpr DWORD kMaximumPollMs = 10000;
constexpr ULONGLONG kStopBudgetMs = 30000;

constexpr wchar_t kServicesKey[] = L"SYSTEM\\CurrentControlSet\\Services";

void ReportError(const std::wstring& text)
{
    service::Api().WriteError(text + L"\n");
}

std::wstring StateText(const SERVICE_STATUS_PROCESS& status)
{
    return L"state " + std::to_wstring(status.dwCurrentState) + L", checkpoint " +
           std::to_wstring(status.dwCheckPoint);
}

// Polls until the service has stopped or the deadline has passed.
bool WaitUntilStopped(SC_HANDLE service, SERVICE_STATUS_PROCESS status, ULONGLONG deadline)
{
    while (status.dwCurrentState != SERVICE_STOPPED)
    {
        const ULONGLONG now = service::Api().GetTickCount64();
        if (now >= deadline)
        {
            ReportError(L"The service did not stop within " + std::to_wstring(kStopBudgetMs / 1000) +
                        L" s (" + StateText(status) + L")");
            return false;
        }
        const DWORD hinted = std::clamp<DWORD>(status.dwWaitHint / 10, kMinimumPollMs, kMaximumPollMs);
        service::Api().Sleep(static_cast<DWORD>(std::min<ULONGLONG>(hinted, deadline - now)));
        const std::optional<SERVICE_STATUS_PROCESS> next = service::QueryStatus(service);
        if (!next)
        {
            ReportError(L"Cannot query the status of the stopping service: " +
                        service::SystemErrorText(::GetLastError()));
            return false;
        }
        status = *next;
    }
    return true;
}

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

bool CWinService::Execute(ServiceOperation operation, const std::wstring& parameters)
{
    switch (operation)
    {
    case ServiceOperation::Install:
        return Install(parameters);
    case ServiceOperation::Uninstall:
        return Uninstall();
    case ServiceOperation::Start:
        return Start(std::wstring());
    case ServiceOperation::Restart:
        // A service that did not stop cannot be started again; its reason is printed already.
        return Stop() && Start(std::wstring());
    case ServiceOperation::Run:
        return RunAsService();
    case ServiceOperation::Stop:
        return Stop();
    case ServiceOperation::SetParameters:
        return SetParameters(parameters);
    case ServiceOperation::None:
        break;
    }
    return true;
}

bool CWinService::Install(const std::wstring& parameters)
{
    if (m_serviceName.empty())
    {
        return false;
    }
    if (!PrepareInstall())
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
            ReportError(L"Cannot open the service control manager: " +
                        service::SystemErrorText(::GetLastError()));
            return false;
        }
        const std::wstring imagePath = L"\"" + executable + L"\" --service";
        const platform::UniqueServiceHandle created(service::Api().CreateServiceW(
            manager.get(), m_serviceName.c_str(), m_displayName.c_str(), SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr,
            nullptr, nullptr, nullptr, nullptr));
        if (!created)
        {
            ReportError(L"Cannot create the service: " + service::SystemErrorText(::GetLastError()));
            return false;
        }
        ConfigureCreated(created.get());
    }
    UpdateDependencies(true);
    if (!parameters.empty())
    {
        WriteParameters(parameters);
    }
    return Start(std::wstring());
}

void CWinService::ConfigureCreated(SC_HANDLE created)
{
    service::ServiceApi& api = service::Api();
    std::vector<SC_ACTION> actions = m_failureActions.actions;
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = m_failureActions.resetPeriod;
    failure.lpRebootMsg = const_cast<wchar_t*>(m_failureActions.rebootMessage);
    failure.lpCommand = const_cast<wchar_t*>(m_failureActions.command);
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.empty() ? nullptr : actions.data();
    api.ChangeServiceConfig2W(created, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    if (!actions.empty())
    {
        // The actions also follow a run that reports stopped with a non-zero exit code, not only a crash.
        SERVICE_FAILURE_ACTIONS_FLAG onFailures{TRUE};
        api.ChangeServiceConfig2W(created, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onFailures);
    }
    if (!m_description.empty())
    {
        std::wstring description = m_description;
        SERVICE_DESCRIPTIONW text{description.data()};
        api.ChangeServiceConfig2W(created, SERVICE_CONFIG_DESCRIPTION, &text);
    }
    // A service SID of its own, so that keys, folders and devices can grant this service alone.
    SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
    if (!api.ChangeServiceConfig2W(created, SERVICE_CONFIG_SERVICE_SID_INFO, &sid))
    {
        ReportError(L"Cannot give the service its own SID: " + service::SystemErrorText(::GetLastError()));
    }
    const std::vector<std::wstring> privileges = RequiredPrivileges();
    if (!privileges.empty())
    {
        // The process keeps these and loses every other privilege of its account.
        std::wstring list;
        for (const std::wstring& privilege : privileges)
        {
            list += privilege;
            list.push_back(L'\0');
        }
        list.push_back(L'\0');
        SERVICE_REQUIRED_PRIVILEGES_INFOW required{list.data()};
        if (!api.ChangeServiceConfig2W(created, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required))
        {
            ReportError(L"Cannot limit the privileges of the service: " +
                        service::SystemErrorText(::GetLastError()));
        }
    }
}

bool CWinService::Uninstall()
{
    if (!service::ServiceExists(m_serviceName))
    {
        ReportError(L"The service is not installed");
        return false;
    }
    if (!Stop())
    {
        return false;
    }
    UpdateDependencies(false);
    const service::COpenedService opened = service::OpenExistingService(m_serviceName);
    if (!opened || !service::Api().DeleteService(opened.service.get()))
    {
        ReportError(L"Cannot delete the service: " + service::SystemErrorText(::GetLastError()));
        return false;
    }
    return true;
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
    if (!service::Api().StartServiceW(opened.service.get(), 0, nullptr))
    {
        // The status query below decides the result; a service that runs already is no news.
        const DWORD error = ::GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING)
        {
            ReportError(L"The service did not start: " + service::SystemErrorText(error));
        }
    }
    return service::QueryStatus(opened.service.get()).has_value();
}

bool CWinService::Stop()
{
    const service::COpenedService opened = service::OpenExistingService(m_serviceName);
    if (!opened)
    {
        ReportError(L"Cannot open the service: " + service::SystemErrorText(::GetLastError()));
        return false;
    }
    const SC_HANDLE service = opened.service.get();
    const ULONGLONG deadline = service::Api().GetTickCount64() + kStopBudgetMs;
    std::optional<SERVICE_STATUS_PROCESS> status = service::QueryStatus(service);
    if (!status)
    {
        ReportError(L"Cannot query the status of the service: " + service::SystemErrorText(::GetLastError()));
        return false;
    }
    if (status->dwCurrentState == SERVICE_STOP_PENDING)
    {
        return WaitUntilStopped(service, *status, deadline);
    }
    if (status->dwCurrentState != SERVICE_RUNNING)
    {
        // Stopped, or still starting: nothing is sent.
        return true;
    }
    SERVICE_STATUS control{};
    if (!service::Api().ControlService(service, SERVICE_CONTROL_STOP, &control))
    {
        // A refusal is final only when the service is neither stopped nor on its way there: it may have
        // stopped or begun to stop on its own in between.
        const DWORD refusal = ::GetLastError();
        if (refusal == ERROR_SERVICE_NOT_ACTIVE)
        {
            return true;
        }
        status = service::QueryStatus(service);
        if (!status ||
            (status->dwCurrentState != SERVICE_STOPPED && status->dwCurrentState != SERVICE_STOP_PENDING))
        {
            ReportError(L"The service refused the stop request" +
                        (status ? L" (" + StateText(*status) + L")" : std::wstring()) + L": " +
                        service::SystemErrorText(refusal));
            return false;
        }
    }
    return WaitUntilStopped(service, *status, deadline);
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
