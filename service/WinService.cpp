#include "service/WinService.h"

#include <cstdio>
#include <cwchar>

namespace
{

const wchar_t* OperationName(std::uint8_t operation)
{
    switch (operation)
    {
    case ServiceOperationInstall:
        return L"install-service";
    case ServiceOperationUninstall:
        return L"uninstall-service";
    case ServiceOperationStart:
        return L"start-service";
    case ServiceOperationRestart:
        return L"restart-service";
    case ServiceOperationRun:
        return L"service";
    case ServiceOperationStop:
        return L"stop-service";
    case ServiceOperationSetParameters:
        return L"set-service-parameters";
    default:
        return nullptr;
    }
}

} // namespace

CWinService::CWinService(std::wstring serviceName, std::wstring displayName, std::wstring description)
    : m_serviceName(std::move(serviceName)), m_displayName(std::move(displayName)),
      m_description(std::move(description))
{
}

CWinService::~CWinService() = default;

int CWinService::Run(int, wchar_t**)
{
    return 0;
}

// Service administration is not part of this build yet: every real operation says so and fails.
bool CWinService::Execute(std::uint8_t operation, const std::wstring&)
{
    const wchar_t* name = OperationName(operation);
    if (name == nullptr)
    {
        return true;
    }
    std::fwprintf(stderr, L"%ls is not available in this build\n", name);
    std::fflush(stderr);
    return false;
}
