#include "config/InstanceId.h"

#include <algorithm>

std::wstring InstanceIdFromPath(const std::wstring& path)
{
    std::wstring id = path;
    if (id.size() > 4)
    {
        id.erase(0, 4);
        const std::size_t guid = id.rfind(L"#{");
        if (guid != std::wstring::npos)
        {
            id.resize(guid);
        }
    }
    std::replace(id.begin(), id.end(), L'\\', L'#');
    return id;
}
