#pragma once
#include <cstdint>
#include <string>

// Service operation codes handed to CWinService::Execute.
enum ServiceOperation : std::uint8_t
{
    ServiceOperationNone = 0,
    ServiceOperationInstall = 1,
    ServiceOperationUninstall = 2,
    ServiceOperationStart = 3,
    ServiceOperationRestart = 4,
    ServiceOperationRun = 5,
    ServiceOperationStop = 6,
    ServiceOperationSetParameters = 7,
};

// A Windows service of this program: its names and the handlers the service control manager's
// requests end up in. Execute carries out one administration operation on it.
class CWinService
{
public:
    CWinService(std::wstring serviceName, std::wstring displayName, std::wstring description);
    virtual ~CWinService();
    CWinService(const CWinService&) = delete;
    CWinService& operator=(const CWinService&) = delete;

    virtual void OnStop() {}
    virtual void OnShutdown() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}
    // The service body; returns when the service is to stop.
    virtual int Run(int argc, wchar_t** argv);

    // Carries out the operation with the given options text; true on success. Codes outside 1..7
    // do nothing and succeed.
    bool Execute(std::uint8_t operation, const std::wstring& parameters);

    const std::wstring& ServiceName() const noexcept { return m_serviceName; }
    const std::wstring& DisplayName() const noexcept { return m_displayName; }
    const std::wstring& Description() const noexcept { return m_description; }

private:
    std::wstring m_serviceName;
    std::wstring m_displayName;
    std::wstring m_description;
};
