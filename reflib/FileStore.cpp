#include "reflib/FileStore.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <system_error>

namespace velmar::reflib
{
namespace
{
std::atomic<unsigned> g_temporaryCounter{0};
}

std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string PathToUtf8(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream)
    {
        return std::nullopt;
    }
    std::ostringstream content;
    content << stream.rdbuf();
    if (stream.bad())
    {
        return std::nullopt;
    }
    return content.str();
}

bool StoreFileAtomically(const std::filesystem::path& path, const std::string& content)
{
    std::filesystem::path temporary = path;
    temporary +=
        L".tmp" + std::to_wstring(::GetCurrentProcessId()) + L"." + std::to_wstring(++g_temporaryCounter);
    {
        std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
        if (!stream)
        {
            return false;
        }
        stream.write(content.data(), static_cast<std::streamsize>(content.size()));
        stream.flush();
        if (!stream)
        {
            stream.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    if (!::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}
} // namespace velmar::reflib
