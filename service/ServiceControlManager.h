#pragma once
// The local service control manager, reached the same way by every administration operation.
#include "platform/UniqueHandle.h"

#include <optional>
#include <string>

#include <windows.h>

namespace service
{

// OpenSCManagerW of the local machine's active database with SC_MANAGER_ALL_ACCESS; empty on failure.
platform::UniqueServiceHandle OpenServiceManager();

// OpenServiceW with SERVICE_ALL_ACCESS; empty on failure.
platform::UniqueServiceHandle OpenNamedService(SC_HANDLE manager, const std::wstring& name);

// QueryServiceStatusEx (SC_STATUS_PROCESS_INFO); nothing when the query fails.
std::optional<SERVICE_STATUS_PROCESS> QueryStatus(SC_HANDLE service);

// The name is not empty and both the manager and the service open. Both handles are closed again.
bool ServiceExists(const std::wstring& name);

// A service opened with the manager it came from; false when either could not be opened.
struct COpenedService
{
    platform::UniqueServiceHandle manager;
    platform::UniqueServiceHandle service;
    explicit operator bool() const noexcept { return static_cast<bool>(service); }
};

// The manager and then the named service (an empty name opens nothing).
COpenedService OpenExistingService(const std::wstring& name);

} // namespace service
