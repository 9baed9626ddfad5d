#include "service/ServiceControlManager.h"

#include "service/ServiceApi.h"

namespace service
{

platform::UniqueServiceHandle OpenServiceManager()
{
    return platform::UniqueServiceHandle(
        Api().OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
}

platform::UniqueServiceHandle OpenNamedService(SC_HANDLE manager, const std::wstring& name)
{
    return platform::UniqueServiceHandle(Api().OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
}

std::optional<SERVICE_STATUS_PROCESS> QueryStatus(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!Api().QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                    sizeof(status), &needed))
    {
        return std::nullopt;
    }
    return status;
}

bool ServiceExists(const std::wstring& name)
{
    if (name.empty())
    {
        return false;
    }
    return static_cast<bool>(OpenExistingService(name));
}

COpenedService OpenExistingService(const std::wstring& name)
{
    COpenedService opened;
    if (name.empty())
    {
        return opened;
    }
    opened.manager = OpenServiceManager();
    if (opened.manager)
    {
        opened.service = OpenNamedService(opened.manager.get(), name);
    }
    return opened;
}

} // namespace service
