#pragma once
#include "service/ServiceOperation.h"

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

// What the service control manager does when the service fails, in the layout of SERVICE_FAILURE_ACTIONSW.
struct ServiceFailureActions
{
    DWORD resetPeriod = 0; // seconds
    const wchar_t* rebootMessage = nullptr;
    const wchar_t* command = nullptr;
    std::vector<SC_ACTION> actions;
};

// A Windows service of this program: its names, the services it depends on and that depend on it, its
// failure actions and the handlers the service control manager's requests end up in. Execute carries out
// one administration operation on it against the local service control manager; every handle it opens
// is closed before it returns.
class CWinService
{
public:
    CWinService(std::wstring serviceName, std::wstring displayName, std::wstring description,
                std::vector<std::wstring> dependencies = {}, std::vector<std::wstring> dependents = {},
                ServiceFailureActions failureActions = {});
    virtual ~CWinService();
    CWinService(const CWinService&) = delete;
    CWinService& operator=(const CWinService&) = delete;

    virtual void OnStop() {}
    virtual void OnShutdown() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}
    // The service body; returns when the service is to stop.
    virtual int Run(int argc, wchar_t** argv);

    // Carries out the operation with the given options text; true on success. None does nothing and
    // succeeds.
    bool Execute(ServiceOperation operation, const std::wstring& parameters);

    // Runs PrepareInstall, creates the service (auto start, image "<this executable>" --service), sets
    // its failure actions, description, service SID and privileges, its dependencies and the options
    // text, then starts it. True after PrepareInstall, changing nothing else, when the service exists
    // already.
    bool Install(const std::wstring& parameters);
    // Writes a non-empty options text, asks the manager to start the service and reads its status
    // back: true when that query succeeds (nothing waits for the service to run).
    bool Start(const std::wstring& parameters);
    // Sends the stop control to a running service and polls until it has stopped: true then, at once
    // when it is stopped or still starting, and after polling when it is stopping already. A refused
    // control counts only when the service is not stopped or stopping by then. False, with the reason
    // on standard error, when it does not exist, a query or the control fails, or it has not stopped
    // within 30 s.
    bool Stop();
    // Stores the options text as "Parameters" (an empty text deletes it); failures are ignored.
    void WriteParameters(const std::wstring& parameters);
    // Adds this service to (installation) or removes it from (uninstallation) the "DependOnService"
    // list of every dependent; at installation also writes this service's own dependencies.
    void UpdateDependencies(bool install);

    const std::wstring& ServiceName() const noexcept { return m_serviceName; }
    const std::wstring& DisplayName() const noexcept { return m_displayName; }
    const std::wstring& Description() const noexcept { return m_description; }
    const std::vector<std::wstring>& Dependencies() const noexcept { return m_dependencies; }
    const std::vector<std::wstring>& Dependents() const noexcept { return m_dependents; }
    const ServiceFailureActions& FailureActions() const noexcept { return m_failureActions; }

protected:
    // Runs first on every installation, also when the service exists already; false ends it.
    virtual bool PrepareInstall() { return true; }
    // The privileges the service's process keeps; every other privilege of its account is removed. An
    // empty list leaves the account's set.
    virtual std::vector<std::wstring> RequiredPrivileges() const { return {}; }

private:
    // Failure actions, description, an unrestricted service SID and the required privileges of a
    // service just created; a failure to set the SID or the privileges is printed, not fatal.
    void ConfigureCreated(SC_HANDLE created);
    bool Uninstall();
    bool SetParameters(const std::wstring& parameters);
    bool RunAsService();
    bool IsRunning() const;

    std::wstring m_serviceName;
    std::wstring m_displayName;
    std::wstring m_description;
    std::vector<std::wstring> m_dependencies;
    std::vector<std::wstring> m_dependents;
    ServiceFailureActions m_failureActions;
};
