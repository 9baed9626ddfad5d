// CreateFileW: "<link>\Control" of a simulated device opens its control pipe; every other path goes
// to the real CreateFileW unchanged.
#include "simulation/DeviceNames.h"
#include "simulation/NotificationHub.h"
#include "simulation/SimulatedServices.h"
#include "simulation/WorldStore.h"

#include "platform/Boundary.h"

namespace simulation::services
{

namespace
{

HANDLE OpenControl(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    const auto link = path ? LinkFromControlPath(path) : std::nullopt;
    if (!link)
    {
        return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    }

    const auto device = store::Find(*InstanceFromLink(*link));
    if (!device || device->state != DeviceState::Started)
    {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring pipe = PipeNameForInstance(device->instanceId);
    HANDLE handle = ::CreateFileW(pipe.c_str(), access, share, security, disposition, flags, templateFile);
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY)
    {
        // Busy: another holder, or the driver side is just taking the next connection. An exclusive
        // device that is open fails with access denied.
        if (::WaitNamedPipeW(pipe.c_str(), 250))
        {
            handle = ::CreateFileW(pipe.c_str(), access, share, security, disposition, flags, templateFile);
        }
        if (handle == INVALID_HANDLE_VALUE)
        {
            const DWORD error = ::GetLastError();
            ::SetLastError(error == ERROR_PIPE_BUSY || error == ERROR_SEM_TIMEOUT ? ERROR_ACCESS_DENIED
                                                                                  : error);
        }
    }
    if (handle == INVALID_HANDLE_VALUE)
    {
        return handle;
    }
    CNotificationHub::Instance().RememberHandle(handle, device->instanceId);
    return handle;
}

} // namespace

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile)
{
    // The store may fail (its lock, the registry): the caller sees a failed open, never an exception.
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!platform::CatchAtBoundary(
            [&] { handle = OpenControl(path, access, share, security, disposition, flags, templateFile); }))
    {
        ::SetLastError(ERROR_GEN_FAILURE);
    }
    return handle;
}

} // namespace simulation::services
