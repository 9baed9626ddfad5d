// orvane-counts: a service's state and its process's handle and thread counts as the system reports
// them, for the scripts that check the host for leaks (scripts/stress). Linux cannot see the handles
// of a Wine process, and Wine answers GetProcessHandleCount with 0: the system's handle table
// (NtQuerySystemInformation, extended handle information) is counted instead when that happens.
//
//   orvane-counts SERVICE   prints "state S pid P handles H threads T exit E specific X" (E and X:
//                           the exit codes of a stopped service; pid 0 and no counts while
//                           the service has no process; handles -1 when unreadable); exit 1 if the service
//                           cannot be queried
#include "platform/UniqueHandle.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include <windows.h>

#include <tlhelp32.h>

namespace
{

DWORD ThreadsOf(DWORD processId)
{
    // Its failure value is INVALID_HANDLE_VALUE, like a file's.
    const platform::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    DWORD threads = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    if (!snapshot)
    {
        return 0;
    }
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
    {
        if (entry.th32OwnerProcessID == processId)
        {
            ++threads;
        }
    }
    return threads;
}

// The system's handle table, as NtQuerySystemInformation(SystemExtendedHandleInformation) returns it.
struct HandleEntry
{
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable
{
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// The process's entries in the system's handle table; -1 when the table cannot be read.
long HandlesInSystemTable(DWORD processId)
{
    using QueryFunction = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll != nullptr ? reinterpret_cast<QueryFunction>(reinterpret_cast<void*>(
                                              GetProcAddress(ntdll, "NtQuerySystemInformation")))
                                        : nullptr;
    if (query == nullptr)
    {
        return -1;
    }
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        ULONG needed = 0;
        const LONG status = query(kSystemExtendedHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch)
        {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0)
        {
            return -1;
        }
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        long handles = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i)
        {
            handles += table->entries[i].processId == processId ? 1 : 0;
        }
        return handles;
    }
    return -1;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fwprintf(stderr, L"usage: orvane-counts SERVICE\n");
        return 2;
    }
    const platform::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const platform::UniqueServiceHandle service(
        manager ? OpenServiceW(manager.get(), argv[1], SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof(status), &needed))
    {
        std::fwprintf(stderr, L"service %ls: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    long handles = -1; // the count could not be read
    DWORD threads = 0;
    if (status.dwProcessId != 0)
    {
        const platform::UniqueHandle process(
            OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, status.dwProcessId));
        DWORD count = 0;
        if (process && GetProcessHandleCount(process.get(), &count) && count > 0)
        {
            handles = static_cast<long>(count);
        }
        else
        {
            handles = HandlesInSystemTable(status.dwProcessId);
        }
        threads = ThreadsOf(status.dwProcessId);
    }
    std::wprintf(L"state %lu pid %lu handles %ld threads %lu exit %lu specific %lu\n", status.dwCurrentState,
                 status.dwProcessId, handles, threads, status.dwWin32ExitCode,
                 status.dwServiceSpecificExitCode);
    return 0;
}
