#include "config/StoragePath.h"

#include "config/TrustedOwner.h"

#include "diagnostics/Log.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"
#include "platform/UniqueHandle.h"

#include <sddl.h>

#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace
{

std::error_code SystemCode(DWORD error)
{
    return {static_cast<int>(error), std::system_category()};
}

bool Missing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The attributes of an existing entry (a link's own), INVALID_FILE_ATTRIBUTES when there is none;
// throws filesystem_error "exists" when that cannot be told.
DWORD Attributes(const fs::path& path)
{
    const DWORD attributes = platform::Api().GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        const DWORD error = ::GetLastError();
        if (!Missing(error))
        {
            throw fs::filesystem_error("exists", path, SystemCode(error));
        }
    }
    return attributes;
}

// Creates one folder with kStorageFolderSddl. Returns whether it was created; `error` is the failure,
// 0 when it was created or already there.
bool CreateProtectedDirectory(const fs::path& path, DWORD& error)
{
    error = 0;
    platform::UniqueLocalMemory descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kStorageFolderSddl, SDDL_REVISION_1, &raw,
                                                                nullptr))
    {
        error = ::GetLastError();
        return false;
    }
    descriptor.reset(raw);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), raw, FALSE};
    if (platform::Api().CreateDirectoryW(path.c_str(), &attributes))
    {
        return true;
    }
    error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
    {
        error = 0;
    }
    return false;
}

// Creates a folder that must not exist yet; throws as CreateStorageRoot describes.
void CreateRequiredDirectory(const fs::path& path)
{
    DWORD error = 0;
    if (!CreateProtectedDirectory(path, error))
    {
        if (error != 0)
        {
            throw fs::filesystem_error("create_directory", path, SystemCode(error));
        }
        throw std::runtime_error("Failed to create save path directory");
    }
}

// Why a folder is refused, empty when it is accepted.
std::wstring RefusalOf(const fs::path& folder, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    {
        return L"it is a link";
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD error = platform::Api().GetNamedSecurityInfoW(
        folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw);
    const platform::UniqueLocalMemory descriptor(raw);
    if (error != ERROR_SUCCESS || owner == nullptr)
    {
        return L"its owner cannot be read: " + ToHex(error) + L" " + FormatSystemError(error);
    }
    if (IsTrustedOwner(owner))
    {
        return {};
    }
    return L"owned by neither SYSTEM nor Administrators";
}

// Whether an existing folder is accepted; a refusal is logged. A folder that is not there is accepted:
// there is nothing to run on.
bool Accepted(const fs::path& folder)
{
    const DWORD attributes = Attributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        return true;
    }
    const std::wstring refusal = RefusalOf(folder, attributes);
    if (refusal.empty())
    {
        return true;
    }
    VLOG(velmar::LogSeverity::Error) << L"Refusing storage folder " << folder.wstring() << L": " << refusal;
    return false;
}

// The maker folder and the storage root above an instance directory.
bool ParentsAccepted(const fs::path& directory)
{
    const fs::path root = directory.parent_path();
    return Accepted(root.parent_path()) && Accepted(root);
}

} // namespace

fs::path GetStoragePath(const std::wstring& maker, const std::wstring& product)
{
    wchar_t folder[MAX_PATH] = {};
    const HRESULT result =
        platform::Api().SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(result))
    {
        return {};
    }
    return fs::path(folder) / maker / product;
}

void CreateStorageRoot(const fs::path& root)
{
    const fs::path parent = root.parent_path();
    if (Attributes(root) == INVALID_FILE_ATTRIBUTES)
    {
        if (Attributes(parent) == INVALID_FILE_ATTRIBUTES)
        {
            CreateRequiredDirectory(parent);
        }
        CreateRequiredDirectory(root);
    }
    for (const fs::path& folder : {parent, root})
    {
        if (!Accepted(folder))
        {
            throw StorageRefusedError(folder, "Refusing storage folder " + WideToUtf8(folder.wstring()));
        }
    }
}

fs::path InstanceStoragePath(const fs::path& root, const std::wstring& instanceId)
{
    return root / fs::path(instanceId);
}

bool PrepareInstanceStorage(const fs::path& directory)
{
    if (!ParentsAccepted(directory))
    {
        return false;
    }
    DWORD error = 0;
    if (CreateProtectedDirectory(directory, error))
    {
        std::error_code permissionError;
        fs::permissions(directory, fs::perms::all, permissionError);
        if (permissionError)
        {
            throw fs::filesystem_error("permissions", directory, permissionError);
        }
    }
    else if (error != 0)
    {
        VLOG(velmar::LogSeverity::Verb)
            << L"Error creating save path " << directory.wstring() << L": " << FormatSystemError(error);
        return true;
    }
    return Accepted(directory);
}

bool EnsureInstanceStorage(const fs::path& directory)
{
    if (!ParentsAccepted(directory))
    {
        return false;
    }
    if (Attributes(directory) == INVALID_FILE_ATTRIBUTES)
    {
        DWORD error = 0;
        if (!CreateProtectedDirectory(directory, error) && error != 0)
        {
            throw fs::filesystem_error("create_directory", directory, SystemCode(error));
        }
    }
    return Accepted(directory);
}
