#include "service/ServiceArguments.h"

#include "service/StoredParameters.h"
#include "service/WinService.h"

namespace
{
constexpr wchar_t kSpaceSet[] = L" \n\r\t";
} // namespace

std::wstring ServiceCommandLine(const CWinService* service, DWORD argc, const wchar_t* const* argv)
{
    std::wstring line;
    for (DWORD i = 0; argv != nullptr && i < argc; ++i)
    {
        if (argv[i] != nullptr)
        {
            line += argv[i];
        }
        line += L' ';
    }
    if (service != nullptr)
    {
        line += service::ReadStoredParameters(service->ServiceName());
    }
    if (line.empty() || line.back() != L' ')
    {
        line += L' ';
    }
    return line;
}

void CServiceArguments::SplitCommandLine(const std::wstring& text)
{
    Clear();
    const std::size_t first = text.find_first_not_of(kSpaceSet);
    if (first == std::wstring::npos)
    {
        m_vector.push_back(nullptr);
        return;
    }
    const std::size_t last = text.find_last_not_of(kSpaceSet);
    std::wstring rest = text.substr(first, last - first + 1) + L' ';
    while (!rest.empty())
    {
        const std::size_t blank = rest.find(L' ');
        m_words.push_back(rest.substr(0, blank));
        const std::size_t next = rest.find_first_not_of(kSpaceSet, blank);
        rest.erase(0, next == std::wstring::npos ? rest.size() : next);
    }
    for (std::wstring& word : m_words)
    {
        m_vector.push_back(word.data());
    }
    m_vector.push_back(nullptr);
}

void CServiceArguments::Clear()
{
    m_vector.clear();
    m_words.clear();
}
