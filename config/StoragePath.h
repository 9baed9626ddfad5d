#pragma once
#include <filesystem>
#include <string>

// The machine-wide application data folder joined with maker and product, for example
// C:\ProgramData\VELMAR\ORVANE.CL.drv; empty when the folder cannot be determined. Creates nothing.
std::filesystem::path GetStoragePath(const std::wstring& maker, const std::wstring& product);

// Creates the storage root when it does not exist, together with its parent (one level only).
// Throws std::filesystem::filesystem_error ("exists" / "create_directory" and the path) on a
// file-system error, std::runtime_error "Failed to create save path directory" when a creation
// reports that nothing was created.
void CreateStorageRoot(const std::filesystem::path& root);

// The storage directory of one instance: the root joined with the instance id as one component.
std::filesystem::path InstanceStoragePath(const std::filesystem::path& root, const std::wstring& instanceId);

// For the instances known when processing starts: creates the directory (one level). A new directory
// gets all permissions (throws filesystem_error "permissions" when that fails); a creation error is
// logged at VERB as "Error creating save path <path>: <error text>" and otherwise ignored; an existing
// directory is left as it is.
void PrepareInstanceStorage(const std::filesystem::path& directory);

// For an instance added during the run: creates the directory when it does not exist. Throws
// filesystem_error ("exists" / "create_directory" and the path) on a file-system error.
void EnsureInstanceStorage(const std::filesystem::path& directory);
