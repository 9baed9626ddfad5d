#include "setup/DeviceCommands.h"

#include "config/Config.h"
#include "config/Registry.h"
#include "config/StorageLock.h"
#include "config/StoragePath.h"
#include "config/StorageRemoval.h"
#include "platform/TextConversion.h"
#include "setup/DeviceCreation.h"
#include "setup/DeviceRemoval.h"
#include "setup/RebootPrompt.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace
{

constexpr wchar_t kAllDevices[] = L"all";
// How long the removal waits for the service's instances of the removed devices to end. An instance
// ends within a few seconds on an idle machine (a transfer in flight gets one second and its cancel
// another, the web server one, then the library's last save); the rest is room for a loaded machine
// and for the instances of "all", which end one after another.
constexpr DWORD kInstanceEndLimitMs = 10000;

// HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv\instances, created one level after the other where missing.
CRegistry CreateInstancesKey()
{
    // A product key created here gets its protected security, as one created by the service does.
    return CRegistry::Create(CreateProductKey(), CConfig::kInstancesKey);
}

void DeleteInstanceKeys(const std::wstring& argument, bool all, const CommandConsole& console)
{
    try
    {
        const CRegistry instances = CreateInstancesKey();
        if (all)
        {
            for (const std::wstring& name : instances.EnumerateSubKeys())
            {
                instances.DeleteSubKey(name);
            }
        }
        else
        {
            instances.DeleteSubKey(argument);
        }
    }
    catch (const RegistryError& error)
    {
        console.err(L"Failed to delete registry key for " + argument + L": " + Utf8ToWide(error.what()) +
                    L"\n");
    }
}

void ReportStorageFailure(const CommandConsole& console, const std::wstring& name, const std::wstring& text)
{
    console.err(L"Failed to delete storing path for " + name + L": " + text + L"\n");
}

std::wstring ErrorText(const fs::filesystem_error& error)
{
    return Utf8ToWide(error.what());
}

// One line per entry that stayed: the system's text (without its line break) and the entry.
void ReportRemovalFailures(const CommandConsole& console, const std::wstring& name,
                           const std::vector<StorageRemovalFailure>& failures)
{
    for (const StorageRemovalFailure& failure : failures)
    {
        std::wstring text = failure.text;
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        {
            text.pop_back();
        }
        ReportStorageFailure(console, name, text + L" [" + failure.path.wstring() + L"]");
    }
}

// GetStoragePath for the maker folder and the product. Without it every path would be relative to
// the current directory, so nothing is deleted then.
fs::path StorageRoot()
{
    fs::path root = GetStoragePath(CConfig::kMakerFolder, CConfig::kProductKey);
    if (root.empty())
    {
        throw fs::filesystem_error("GetStoragePath", fs::path(CConfig::kMakerFolder) / CConfig::kProductKey,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    }
    return root;
}

void DeleteInstanceStorage(const std::wstring& argument, const CommandConsole& console)
{
    fs::path directory;
    try
    {
        directory = InstanceStoragePath(StorageRoot(), argument);
    }
    catch (const fs::filesystem_error& error)
    {
        ReportStorageFailure(console, argument, ErrorText(error));
        return;
    }
    ReportRemovalFailures(console, argument, RemoveStorageTree(directory));
}

// Every directory directly below the storage root goes with everything in it (a link there goes as a
// link); files there stay. A failure is reported for the entry (or the root) and the next entry follows.
void DeleteAllStorage(const CommandConsole& console, const std::vector<std::wstring>& busy)
{
    fs::path root;
    try
    {
        root = StorageRoot();
    }
    catch (const fs::filesystem_error& error)
    {
        ReportStorageFailure(console, error.path1().wstring(), ErrorText(error));
        return;
    }
    std::error_code error;
    fs::directory_iterator entry(root, error);
    if (error)
    {
        ReportStorageFailure(console, root.wstring(),
                             ErrorText(fs::filesystem_error("directory_iterator", root, error)));
        return;
    }
    for (; entry != fs::directory_iterator(); entry.increment(error))
    {
        const fs::path path = entry->path();
        const bool directory = entry->is_directory(error);
        if (error)
        {
            ReportStorageFailure(console, path.wstring(),
                                 ErrorText(fs::filesystem_error("is_directory", path, error)));
        }
        else if (directory && std::find(busy.begin(), busy.end(), path.filename().wstring()) != busy.end())
        {
            // Reported already: an instance still writes there.
        }
        else if (directory)
        {
            ReportRemovalFailures(console, path.wstring(), RemoveStorageTree(path));
        }
        error.clear();
    }
    if (error)
    {
        ReportStorageFailure(console, root.wstring(),
                             ErrorText(fs::filesystem_error("directory_iterator", root, error)));
    }
}

// The instance directories below the storage root (none when it cannot be listed; the deletion
// reports that).
std::vector<std::wstring> StorageDirectoryNames()
{
    std::vector<std::wstring> names;
    try
    {
        std::error_code error;
        for (fs::directory_iterator entry(StorageRoot(), error), end; !error && entry != end;
             entry.increment(error))
        {
            if (entry->is_directory(error) && !error)
            {
                names.push_back(entry->path().filename().wstring());
            }
            error.clear();
        }
    }
    catch (const std::exception&)
    {
    }
    return names;
}

// Claims the storage of every id, all within one time limit; ids still held by an instance when it
// runs out are returned in busy.
std::vector<CStorageLock> ClaimStorage(const std::vector<std::wstring>& ids, std::vector<std::wstring>& busy)
{
    std::vector<CStorageLock> claims;
    const ULONGLONG deadline = GetTickCount64() + kInstanceEndLimitMs;
    for (const std::wstring& id : ids)
    {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        CStorageLock claim = CStorageLock::Acquire(id, nullptr, left);
        if (claim.Result() == CStorageLock::Outcome::TimedOut)
        {
            busy.push_back(id);
        }
        else if (claim.Held())
        {
            claims.push_back(std::move(claim));
        }
    }
    return claims;
}

} // namespace

int AddDeviceCommand(const CommandConsole& console)
{
    std::uint32_t rebootNeeded = 0;
    std::wstring instanceId = CreateDevice(rebootNeeded);
    if (instanceId.empty())
    {
        return 1;
    }
    std::replace(instanceId.begin(), instanceId.end(), L'\\', L'#');
    console.out(instanceId + L"\n");
    try
    {
        const CRegistry instances = CreateInstancesKey();
        CRegistry::Create(instances, instanceId);
    }
    catch (const RegistryError& error)
    {
        console.err(L"Failed to create registry key for " + instanceId + L": " + Utf8ToWide(error.what()) +
                    L"\n");
    }
    return ExitCodeAfterSuccess(rebootNeeded);
}

int RemoveDeviceCommand(const std::wstring& argument, const CommandConsole& console)
{
    const bool all = argument == kAllDevices;
    std::wstring deviceInstanceId = argument;
    std::replace(deviceInstanceId.begin(), deviceInstanceId.end(), L'#', L'\\');
    std::uint32_t rebootNeeded = 0;
    if (!RemoveDevices(all ? nullptr : deviceInstanceId.c_str(), rebootNeeded))
    {
        return 1;
    }
    DeleteInstanceKeys(argument, all, console);
    // The storage of an instance still ending in the service (its last save comes when its library
    // process ends) is deleted only once the instance let go of it.
    const std::vector<std::wstring> ids = all ? StorageDirectoryNames() : std::vector<std::wstring>{argument};
    std::vector<std::wstring> busy;
    const std::vector<CStorageLock> claims = ClaimStorage(ids, busy);
    for (const std::wstring& id : busy)
    {
        ReportStorageFailure(console, id,
                             L"its processing instance did not end within " +
                                 std::to_wstring(kInstanceEndLimitMs / 1000) + L" s");
    }
    if (all)
    {
        DeleteAllStorage(console, busy);
    }
    else if (busy.empty())
    {
        DeleteInstanceStorage(argument, console);
    }
    return ExitCodeAfterSuccess(rebootNeeded);
}
