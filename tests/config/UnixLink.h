#pragma once
// Unix symbolic links for storage tests under Wine, which shows a link to a folder as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT (CreateSymbolicLinkW only pretends to work there). Wine starts a Unix
// program named by its Unix path; the paths handed to it are the Unix names of the Windows paths.
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

// Runs a Unix program (a command line with a Unix path first) and waits for it.
inline bool RunUnix(std::wstring commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process))
    {
        return false;
    }
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}

// Makes `link` a symbolic link to `target`; true once the link is there.
inline bool Make(const std::filesystem::path& target, const std::filesystem::path& link)
{
    const std::wstring from = UnixName(target);
    const std::wstring to = UnixName(link);
    if (from.empty() || to.empty() || !RunUnix(L"/bin/ln -s \"" + from + L"\" \"" + to + L"\""))
    {
        return false;
    }
    // Wine may report the Unix program finished before it is.
    return WaitUntil([&] { return ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; },
                     std::chrono::seconds(10));
}

// Removes the link itself (Win32 deletion on Wine would reach through it).
inline void Remove(const std::filesystem::path& link)
{
    const std::wstring name = UnixName(link);
    if (!name.empty())
    {
        RunUnix(L"/bin/rm -f \"" + name + L"\"");
        WaitUntil([&] { return ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; },
                  std::chrono::seconds(10));
    }
}

} // namespace unixlink
