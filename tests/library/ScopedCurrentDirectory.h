#pragma once
// Changes the process's current directory for the lifetime of the object and restores it after.
#include <filesystem>

namespace librarytest
{

class CScopedCurrentDirectory
{
public:
    explicit CScopedCurrentDirectory(const std::filesystem::path& directory)
        : m_saved(std::filesystem::current_path())
    {
        std::filesystem::current_path(directory);
    }
    ~CScopedCurrentDirectory()
    {
        std::error_code ignored;
        std::filesystem::current_path(m_saved, ignored);
    }
    CScopedCurrentDirectory(const CScopedCurrentDirectory&) = delete;
    CScopedCurrentDirectory& operator=(const CScopedCurrentDirectory&) = delete;

private:
    std::filesystem::path m_saved;
};

} // namespace librarytest
