#pragma once
// The argument vector a service run hands to the program's main routine: the words of the service's
// start arguments followed by its stored options.
#include <string>
#include <vector>

#include <windows.h>

class CWinService;

// The service's command line: each start argument followed by one blank, then the service's stored
// "Parameters" text (nothing when service is null or nothing is stored), ending in a blank.
std::wstring ServiceCommandLine(const CWinService* service, DWORD argc, const wchar_t* const* argv);

// A count and an array of NUL-terminated wide words, owned here; the array may be permuted by its user.
class CServiceArguments
{
public:
    CServiceArguments() = default;
    CServiceArguments(const CServiceArguments&) = delete;
    CServiceArguments& operator=(const CServiceArguments&) = delete;

    // Replaces the vector with the words of the text: outer blanks, line feeds, carriage returns and
    // tabs are dropped, and only a blank separates words (no quoting: "VELMAR ORVANE.CL drv" is three
    // words). Leading characters of that set are dropped after each separating blank.
    void SplitCommandLine(const std::wstring& text);
    void Clear();

    int Count() const noexcept { return static_cast<int>(m_words.size()); }
    wchar_t** Vector() noexcept { return m_vector.data(); }
    const std::vector<std::wstring>& Words() const noexcept { return m_words; }

private:
    std::vector<std::wstring> m_words;
    std::vector<wchar_t*> m_vector; // one pointer per word and a terminating null
};
