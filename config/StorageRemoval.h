#pragma once
// Removal of a storage tree (an instance's folder below the storage root) in bounded time.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// How long one removal may take before it gives up and reports what is left.
inline constexpr std::chrono::seconds kStorageRemovalTimeLimit{5};
// How often one folder is listed and emptied again when entries keep appearing in it.
inline constexpr int kStorageRemovalListings = 16;

struct StorageRemovalFailure
{
    std::filesystem::path path; // the entry that could not be removed
    std::uint32_t error;        // its system error code (ERROR_TIMEOUT when time ran out)
    std::wstring text;          // the system's text for the code
};

// Removes `path` with everything below it, depth first, through the system call table. A missing path
// is not a failure, nor an entry that vanishes while the removal runs. A read-only file or folder has
// that attribute cleared first. A link (any reparse point: symbolic link, junction, mount point) is
// never followed: a folder link is removed with RemoveDirectoryW, a file link with DeleteFileW, and
// what it points to is left alone. A folder that is not empty after its entries were removed is listed
// again, up to kStorageRemovalListings times. When `deadline` passes the removal stops at once and the
// folder it was working on is reported with ERROR_TIMEOUT.
//
// Returns what could not be removed, empty when everything went. A folder that stays because one of its
// entries failed is not reported itself. Never throws for a file-system failure.
std::vector<StorageRemovalFailure> RemoveStorageTree(const std::filesystem::path& path,
                                                     std::chrono::steady_clock::time_point deadline);

// The same with a deadline kStorageRemovalTimeLimit from now.
std::vector<StorageRemovalFailure> RemoveStorageTree(const std::filesystem::path& path);
