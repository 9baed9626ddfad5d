#include "service/ExecutablePath.h"

#include "platform/SystemApi.h"

std::wstring ExecutablePath()
{
    // MAX_PATH first; a longer path (long-path aware systems) is read again with room to spare, so that
    // an image path or a current directory is never silently cut short.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = platform::Api().GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0)
        {
            return {};
        }
        if (length < size)
        {
            buffer.resize(length);
            return buffer;
        }
        if (size >= 32768)
        {
            return {};
        }
        buffer.assign(static_cast<std::size_t>(size) * 2, L'\0');
    }
}

std::wstring FolderOf(const std::wstring& path)
{
    const std::size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}
