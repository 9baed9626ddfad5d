#include "config/StorageRemoval.h"

#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/UniqueHandle.h"

#include <utility>

namespace fs = std::filesystem;

namespace
{

struct FindTraits
{
    using Type = HANDLE;
    static Type Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type value) noexcept { platform::Api().FindClose(value); }
};
using UniqueFind = platform::CUniqueAny<FindTraits>;

struct Entry
{
    fs::path path;
    DWORD attributes;
};

constexpr DWORD kListingPause = 10; // ms between two listings of one folder

bool Vanished(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsLink(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

class CRemoval
{
public:
    explicit CRemoval(std::chrono::steady_clock::time_point deadline) : m_deadline(deadline) {}

    std::vector<StorageRemovalFailure> TakeFailures() { return std::move(m_failures); }

    // Removes one entry as its attributes describe it; false when it (or something below it) stays.
    bool Remove(const Entry& entry)
    {
        if (IsLink(entry.attributes))
        {
            const bool folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            return Check(entry.path, folder ? platform::Api().RemoveDirectoryW(entry.path.c_str())
                                            : platform::Api().DeleteFileW(entry.path.c_str()));
        }
        if (!ClearReadOnly(entry))
        {
            return false;
        }
        if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            return RemoveFolder(entry.path);
        }
        return Check(entry.path, platform::Api().DeleteFileW(entry.path.c_str()));
    }

private:
    bool TimedOut(const fs::path& path)
    {
        if (m_timedOut)
        {
            return true;
        }
        if (std::chrono::steady_clock::now() < m_deadline)
        {
            return false;
        }
        m_timedOut = true;
        Fail(path, ERROR_TIMEOUT);
        return true;
    }

    void Fail(const fs::path& path, DWORD error)
    {
        m_failures.push_back({path, error, FormatSystemError(error)});
    }

    // The result of a removal call: success or a vanished entry count as removed.
    bool Check(const fs::path& path, BOOL removed)
    {
        if (removed)
        {
            return true;
        }
        const DWORD error = ::GetLastError();
        if (Vanished(error))
        {
            return true;
        }
        Fail(path, error);
        return false;
    }

    bool ClearReadOnly(const Entry& entry)
    {
        if ((entry.attributes & FILE_ATTRIBUTE_READONLY) == 0)
        {
            return true;
        }
        const DWORD attributes = entry.attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        return Check(entry.path,
                     platform::Api().SetFileAttributesW(
                         entry.path.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes));
    }

    // The entries of a folder without "." and ".."; false (reported) when it cannot be listed.
    bool List(const fs::path& folder, std::vector<Entry>& entries, bool& vanished)
    {
        entries.clear();
        vanished = false;
        WIN32_FIND_DATAW data{};
        const fs::path pattern = folder / L"*";
        UniqueFind find(platform::Api().FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                                         FindExSearchNameMatch, nullptr, 0));
        if (!find)
        {
            const DWORD error = ::GetLastError();
            vanished = Vanished(error);
            if (!vanished)
            {
                Fail(folder, error);
            }
            return vanished;
        }
        do
        {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..")
            {
                entries.push_back({folder / name, data.dwFileAttributes});
            }
        } while (platform::Api().FindNextFileW(find.get(), &data));
        const DWORD error = ::GetLastError();
        if (error != ERROR_NO_MORE_FILES && !Vanished(error))
        {
            Fail(folder, error);
            return false;
        }
        return true;
    }

    bool RemoveFolder(const fs::path& folder)
    {
        std::vector<Entry> entries;
        for (int listing = 0; listing < kStorageRemovalListings; ++listing)
        {
            if (TimedOut(folder))
            {
                return false;
            }
            bool vanished = false;
            if (!List(folder, entries, vanished))
            {
                return false;
            }
            if (vanished)
            {
                return true;
            }
            bool emptied = true;
            for (const Entry& entry : entries)
            {
                if (TimedOut(folder))
                {
                    return false;
                }
                emptied = Remove(entry) && emptied;
            }
            if (m_timedOut)
            {
                return false;
            }
            if (!emptied)
            {
                return false; // what stays below is reported already
            }
            if (platform::Api().RemoveDirectoryW(folder.c_str()))
            {
                return true;
            }
            const DWORD error = ::GetLastError();
            if (Vanished(error))
            {
                return true;
            }
            if (error != ERROR_DIR_NOT_EMPTY)
            {
                Fail(folder, error);
                return false;
            }
            // Something appeared meanwhile (or an entry is still being deleted): list it again shortly.
            ::Sleep(kListingPause);
        }
        Fail(folder, ERROR_DIR_NOT_EMPTY);
        return false;
    }

    std::chrono::steady_clock::time_point m_deadline;
    bool m_timedOut = false;
    std::vector<StorageRemovalFailure> m_failures;
};

} // namespace

std::vector<StorageRemovalFailure> RemoveStorageTree(const fs::path& path,
                                                     std::chrono::steady_clock::time_point deadline)
{
    CRemoval removal(deadline);
    const DWORD attributes = platform::Api().GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        const DWORD error = ::GetLastError();
        if (!Vanished(error))
        {
            return {{path, error, FormatSystemError(error)}};
        }
        return {};
    }
    removal.Remove({path, attributes});
    return removal.TakeFailures();
}

std::vector<StorageRemovalFailure> RemoveStorageTree(const fs::path& path)
{
    return RemoveStorageTree(path, std::chrono::steady_clock::now() + kStorageRemovalTimeLimit);
}
