#pragma once
#include <filesystem>
#include <stdexcept>
#include <string>

// The machine-wide application data folder joined with maker and product, for example
// C:\ProgramData\VELMAR\ORVANE.CL.drv; empty when the folder cannot be determined. Creates nothing.
std::filesystem::path GetStoragePath(const std::wstring& maker, const std::wstring& product);

// The access every storage folder the program creates gets: full control for SYSTEM and the
// Administrators, nothing for anybody else, nothing inherited from the application data folder.
inline constexpr wchar_t kStorageFolderSddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Storage folders are trusted from the maker folder down only when nobody but the administrators can
// have put them there: a folder that is a link (any reparse point), or that is owned by neither SYSTEM,
// the Administrators nor the account this process runs as, is refused. A refusal is logged at ERROR as
// "Refusing storage folder <path>: <why>" ("it is a link", "owned by neither SYSTEM nor
// Administrators", or that its owner cannot be read) by the function that finds it.
class StorageRefusedError : public std::runtime_error
{
public:
    StorageRefusedError(const std::filesystem::path& path, const std::string& message)
        : std::runtime_error(message), m_path(path)
    {
    }
    const std::filesystem::path& path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
};

// Creates the storage root when it does not exist, together with its parent (one level only), both
// with kStorageFolderSddl, then checks the maker folder and the root. Throws StorageRefusedError when
// either is refused (logged already): no instance can run then, so the processing run does not start.
// Throws std::filesystem::filesystem_error ("exists" / "create_directory" and the path) on a
// file-system error, std::runtime_error "Failed to create save path directory" when a creation
// reports that nothing was created.
void CreateStorageRoot(const std::filesystem::path& root);

// The storage directory of one instance: the root joined with the instance id as one component.
std::filesystem::path InstanceStoragePath(const std::filesystem::path& root, const std::wstring& instanceId);

// For the instances known when processing starts: checks the maker folder and the root, creates the
// directory (one level, with kStorageFolderSddl) and checks it. A new directory also gets all
// permissions, which clears its read-only attribute (throws filesystem_error "permissions" when that
// fails); a creation error is logged at VERB as "Error creating save path <path>: <error text>" and
// otherwise ignored; an existing accepted directory is left as it is.
// Returns false when a folder was refused (logged at ERROR). The caller needs to do nothing more: the
// instance is only created when its device arrives, and EnsureInstanceStorage refuses it then.
bool PrepareInstanceStorage(const std::filesystem::path& directory);

// For an instance added during the run: checks the maker folder and the root, creates the directory
// (with kStorageFolderSddl) when it does not exist, and checks it. Throws filesystem_error ("exists" /
// "create_directory" and the path) on a file-system error.
// Returns false when a folder was refused (logged at ERROR): the caller must then not create or start
// the instance, and forgets its configuration record.
bool EnsureInstanceStorage(const std::filesystem::path& directory);
