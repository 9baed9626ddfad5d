#pragma once
// Unix symbolic links for storage tests under Wine, which shows a link to a folder as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT (CreateSymbolicLinkW only pretends to work there). Wine starts a Unix
// program named by its Unix path; the paths handed to it are the Unix names of the Windows paths.
// Paths must not contain a single quote.
#include "WaitUntil.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace unixlink
{

inline std::wstring UnixName(const std::filesystem::path& path)
{
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* name = convert != nullptr ? convert(path.c_str()) : nullptr;
    if (name == nullptr)
    {
        return {};
    }
    const std::string text(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return std::wstring(text.begin(), text.end());
}

// Runs a Unix shell command and waits until it has finished: Wine reports a Unix child process as
// ended before it is, so the command leaves a marker file as its last step.
inline bool RunUnix(const std::wstring& command)
{
    wchar_t folder[MAX_PATH] = {};
    wchar_t marker[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"unx", 0, marker) == 0)
    {
        return false;
    }
    ::DeleteFileW(marker);
    std::wstring commandLine = L"/bin/sh -c \"" + command + L"; : > '" + UnixName(marker) + L"'\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
    {
        return false;
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    const bool finished = WaitUntil([&] { return ::GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES; },
                                    std::chrono::seconds(10));
    ::DeleteFileW(marker);
    return finished;
}

// Makes `link` a symbolic link to `target`; true once the link is there.
inline bool Make(const std::filesystem::path& target, const std::filesystem::path& link)
{
    const std::wstring from = UnixName(target);
    const std::wstring to = UnixName(link);
    return !from.empty() && !to.empty() && RunUnix(L"/bin/ln -s '" + from + L"' '" + to + L"'") &&
           ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes `path` with everything below it the Unix way, which never follows a link (Win32 deletion
// on Wine would reach through one, and std::filesystem::remove_all fails on a dangling one).
inline void RemoveTree(const std::filesystem::path& path)
{
    const std::wstring name = UnixName(path);
    if (!name.empty())
    {
        RunUnix(L"/bin/rm -rf '" + name + L"'");
    }
}

} // namespace unixlink
