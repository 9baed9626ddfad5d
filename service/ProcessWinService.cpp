#include "service/ProcessWinService.h"

#include "config/ProductKey.h"
#include "platform/Event.h"
#include "platform/SystemError.h"
#include "service/ExecutablePath.h"
#include "service/FolderSecurity.h"
#include "service/ServiceApi.h"

namespace
{

// Restart after 100 ms on each of the first three failures; the count starts again after a day.
ServiceFailureActions RestartOnFailure()
{
    ServiceFailureActions failure;
    failure.resetPeriod = 86400;
    failure.rebootMessage = CProcessWinService::kRebootMessage;
    failure.command = nullptr;
    failure.actions.assign(3, SC_ACTION{SC_ACTION_RESTART, 100});
    return failure;
}

} // namespace

CProcessWinService::CProcessWinService(std::wstring libraryFileName, CTraceProvider* traceProvider,
                                       MainRoutineFunction mainRoutine)
    : CWinService(kServiceName, kDisplayName, kDescription, {}, {}, RestartOnFailure()),
      m_stopEvent(&StopEvent()), m_libraryFileName(std::move(libraryFileName)),
      m_traceProvider(traceProvider), m_mainRoutine(mainRoutine)
{
}

void CProcessWinService::OnStop()
{
    m_stopEvent->Set();
}

void CProcessWinService::OnShutdown()
{
    m_stopEvent->Set();
}

int CProcessWinService::Run(int argc, wchar_t** argv)
{
    return m_mainRoutine != nullptr ? m_mainRoutine(argc, argv, m_libraryFileName, m_traceProvider) : 0;
}

bool CProcessWinService::PrepareInstall()
{
    try
    {
        CreateProductKey(ExistingProductKey::Protect);
    }
    catch (const RegistryError& error)
    {
        service::Api().WriteError(L"Cannot protect the product key: " +
                                  service::SystemErrorText(static_cast<DWORD>(error.code())) + L"\n");
        return false;
    }
    const std::wstring folder = FolderOf(ExecutablePath());
    const bool hasFolder = m_libraryFileName.find_first_of(L"\\/") != std::wstring::npos;
    WarnIfWritableByNonAdministrators(
        {folder, hasFolder ? m_libraryFileName : folder + L"\\" + m_libraryFileName});
    return true;
}

std::vector<std::wstring> CProcessWinService::RequiredPrivileges() const
{
    // What the service does, and why none of it needs a privilege of its own:
    // - it opens the virtual devices' control interfaces, reads and writes its registry keys and the
    //   endpoints' properties, and creates its storage folders: the objects' security decides;
    // - it raises its own threads up to time-critical priority inside the normal priority class, which
    //   needs no privilege (only the realtime class needs SeIncreaseBasePriorityPrivilege);
    // - the library's web servers listen on TCP ports through Winsock, which needs none either, port
    //   numbers below 1024 included;
    // - it writes to the Application event log and emits trace events, as any process may;
    // - it creates no named objects in the global namespace (SeCreateGlobalPrivilege), impersonates
    //   nobody (SeImpersonatePrivilege) and never adjusts its token.
    // SeChangeNotifyPrivilege is the one every process needs: it lets a path be traversed through
    // folders the account may not list, and change notifications be asked for.
    return {SE_CHANGE_NOTIFY_NAME};
}
