#include "config/StoragePath.h"

#include "diagnostics/Log.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"

#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace
{

bool Exists(const fs::path& path)
{
    std::error_code error;
    const bool exists = fs::exists(path, error);
    if (error)
    {
        throw fs::filesystem_error("exists", path, error);
    }
    return exists;
}

// Returns whether a directory was created; throws on a file-system error.
bool MakeDirectory(const fs::path& path)
{
    std::error_code error;
    const bool created = fs::create_directory(path, error);
    if (error)
    {
        throw fs::filesystem_error("create_directory", path, error);
    }
    return created;
}

void CreateRequiredDirectory(const fs::path& path)
{
    if (!MakeDirectory(path))
    {
        throw std::runtime_error("Failed to create save path directory");
    }
}

std::wstring ErrorText(const std::error_code& error)
{
    if (error.category() == std::system_category())
    {
        return FormatSystemError(static_cast<std::uint32_t>(error.value()));
    }
    return Utf8ToWide(error.message());
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
    if (Exists(root))
    {
        return;
    }
    const fs::path parent = root.parent_path();
    if (!Exists(parent))
    {
        CreateRequiredDirectory(parent);
    }
    CreateRequiredDirectory(root);
}

fs::path InstanceStoragePath(const fs::path& root, const std::wstring& instanceId)
{
    return root / fs::path(instanceId);
}

void PrepareInstanceStorage(const fs::path& directory)
{
    std::error_code error;
    const bool created = fs::create_directory(directory, error);
    if (created)
    {
        std::error_code permissionError;
        fs::permissions(directory, fs::perms::all, permissionError);
        if (permissionError)
        {
            throw fs::filesystem_error("permissions", directory, permissionError);
        }
    }
    else if (error)
    {
        VLOG(velmar::LogSeverity::Verb)
            << L"Error creating save path " << directory.wstring() << L": " << ErrorText(error);
    }
}

void EnsureInstanceStorage(const fs::path& directory)
{
    if (!Exists(directory))
    {
        MakeDirectory(directory);
    }
}
