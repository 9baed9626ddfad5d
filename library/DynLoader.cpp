#include "library/DynLoader.h"

#include "diagnostics/Log.h"
#include "platform/SystemApi.h"
#include "platform/SystemError.h"
#include "platform/TextConversion.h"
#include "platform/UniqueHandle.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace velmar::helper
{

namespace
{

// LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | _APPLICATION_DIR | _USER_DIRS | _SYSTEM32
constexpr DWORD kLoadFlags = 0xF00;

constexpr DWORD kModuleFileNameChars = 260;

struct CEntryPoint
{
    int group;
    const char* name;
    void (*store)(CDynLoader& loader, FARPROC address);
};

#define VELMAR_ENTRY_POINT_ROW(group, name, ret, params)                                                     \
    {group, #name, [](CDynLoader& loader, FARPROC address) {                                                 \
         loader.name = reinterpret_cast<::velmar::lib::PFN_##name>(reinterpret_cast<void (*)()>(address));   \
     }},
const CEntryPoint kEntryPoints[] = {VELMAR_LIBRARY_ENTRY_POINTS(VELMAR_ENTRY_POINT_ROW)};
#undef VELMAR_ENTRY_POINT_ROW

static_assert(sizeof(kEntryPoints) / sizeof(kEntryPoints[0]) == ::velmar::lib::kEntryPointCount);

bool IsMandatoryGroup(int group) noexcept
{
    return group == 1 || group == 3;
}

// Used only for its address: it lies in the module that holds the loader.
void AnchorInThisModule() noexcept {}

// The directory of the module holding this code; empty when it cannot be found. A file name that does
// not fit the buffer counts as not found: its truncated parent would name some other directory.
std::filesystem::path ThisModuleDirectory()
{
    HMODULE self = nullptr;
    if (!platform::Api().GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                            reinterpret_cast<LPCWSTR>(&AnchorInThisModule), &self))
    {
        return {};
    }
    wchar_t buffer[kModuleFileNameChars] = {};
    const DWORD length = platform::Api().GetModuleFileNameW(self, buffer, kModuleFileNameChars);
    if (length == 0 || length >= kModuleFileNameChars)
    {
        return {};
    }
    return std::filesystem::path(std::wstring(buffer, length)).parent_path();
}

// The prefix for a library that does not report one, by the stem of its file name.
bool PrefixFromStem(const std::filesystem::path& fileName, std::string& prefix)
{
    struct CStemPrefix
    {
        const char* stem;
        const char* prefix;
    };
    static const CStemPrefix table[] = {
        {"velmar.q3.cloud", "cloudq3_"},
        {"velmar.tessel.cl", "tessel_"},
        {"velmar.orvane.cl", "orvane_"},
    };
    const std::string stem = WideToUtf8(fileName.stem().wstring());
    for (const CStemPrefix& row : table)
    {
        if (stem == row.stem)
        {
            prefix = row.prefix;
            return true;
        }
    }
    return false;
}

// The code and text of the last error, for the log line of a failed load.
std::wstring LastErrorText()
{
    const DWORD error = ::GetLastError();
    std::wstring text = FormatSystemError(error);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
    {
        text.pop_back();
    }
    return ToHex(error) + L" " + text;
}

bool TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS type, std::vector<BYTE>& buffer)
{
    DWORD size = 0;
    LoaderSecurity().GetTokenInformation(token, type, nullptr, 0, &size);
    if (size == 0)
    {
        return false;
    }
    buffer.assign(size, 0);
    return LoaderSecurity().GetTokenInformation(token, type, buffer.data(), size, &size) != FALSE;
}

} // namespace

LoaderSecurityApi& LoaderSecurity()
{
    static LoaderSecurityApi api{
        .OpenProcessToken = &::OpenProcessToken,
        .GetTokenInformation = &::GetTokenInformation,
    };
    return api;
}

bool CurrentFolderIsUntrusted()
{
    platform::UniqueHandle token;
    if (!LoaderSecurity().OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
    {
        return true;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!LoaderSecurity().GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation),
                                              &size))
    {
        return true;
    }
    if (elevation.TokenIsElevated != 0)
    {
        return true;
    }
    std::vector<BYTE> user;
    if (!TokenInformation(token.get(), TokenUser, user))
    {
        return true;
    }
    const PSID userSid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    for (const WELL_KNOWN_SID_TYPE account : {WinLocalSystemSid, WinLocalServiceSid, WinNetworkServiceSid})
    {
        if (::IsWellKnownSid(userSid, account))
        {
            return true;
        }
    }
    // The service control manager puts the SERVICE group into the token of every service it starts,
    // whatever its account.
    std::vector<BYTE> groups;
    if (!TokenInformation(token.get(), TokenGroups, groups))
    {
        return true;
    }
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD index = 0; index < list->GroupCount; ++index)
    {
        if (::IsWellKnownSid(list->Groups[index].Sid, WinServiceSid))
        {
            return true;
        }
    }
    return false;
}

CDynLoader::~CDynLoader()
{
    // The library stays mapped until the process ends: its threads and callbacks may outlive us.
    m_module = nullptr;
}

void CDynLoader::Reset() noexcept
{
    m_module = nullptr;
    m_loaded = false;
    m_prefix.clear();
#define VELMAR_RESET_ENTRY_POINT(group, name, ret, params) name = nullptr;
    VELMAR_LIBRARY_ENTRY_POINTS(VELMAR_RESET_ENTRY_POINT)
#undef VELMAR_RESET_ENTRY_POINT
}

bool CDynLoader::load(const std::wstring& fileName)
{
    Reset();

    const std::filesystem::path name(fileName);
    if (name.has_parent_path())
    {
        m_module = platform::Api().LoadLibraryExW(name.c_str(), nullptr, kLoadFlags);
        if (m_module == nullptr)
        {
            VLOG(velmar::LogSeverity::Error)
                << L"Cannot load the processing library from " << name.wstring() << L": " << LastErrorText();
        }
    }
    else
    {
        const std::filesystem::path beside = ThisModuleDirectory() / name.filename();
        m_module = platform::Api().LoadLibraryExW(beside.c_str(), nullptr, kLoadFlags);
        if (m_module == nullptr)
        {
            std::wstring reasons = beside.wstring() + L": " + LastErrorText();
            std::error_code error;
            const std::filesystem::path current = std::filesystem::current_path(error);
            if (CurrentFolderIsUntrusted())
            {
                // Anyone who can write to the current folder could otherwise plant the library there.
                reasons += L"; the current folder is not searched by an elevated process or a service";
            }
            else if (!error)
            {
                const std::filesystem::path inCurrent = current / name.filename();
                m_module = platform::Api().LoadLibraryExW(inCurrent.c_str(), nullptr, kLoadFlags);
                reasons += L"; " + inCurrent.wstring() + L": " + LastErrorText();
            }
            if (m_module == nullptr)
            {
                VLOG(velmar::LogSeverity::Error) << L"Cannot load the processing library from " << reasons;
            }
        }
    }
    if (m_module == nullptr)
    {
        return false;
    }

    const auto getProcessInfo = reinterpret_cast<PFN_VELMAR_GetProcessInfo>(
        reinterpret_cast<void (*)()>(platform::Api().GetProcAddress(m_module, "VELMAR_GetProcessInfo")));
    const VelmarProcessInfo* info = getProcessInfo != nullptr ? getProcessInfo() : nullptr;
    if (info != nullptr && info->prefix != nullptr)
    {
        m_prefix = info->prefix;
    }
    else if (!PrefixFromStem(name, m_prefix))
    {
        return false;
    }

    if (!BindEntryPoints())
    {
        return false;
    }
    m_loaded = true;
    return true;
}

bool CDynLoader::BindEntryPoints()
{
    const size_t count = sizeof(kEntryPoints) / sizeof(kEntryPoints[0]);
    size_t index = 0;
    while (index < count)
    {
        const int group = kEntryPoints[index].group;
        size_t end = index;
        while (end < count && kEntryPoints[end].group == group)
        {
            ++end;
        }
        try
        {
            for (; index < end; ++index)
            {
                const std::string exportName = m_prefix + kEntryPoints[index].name;
                const FARPROC address = platform::Api().GetProcAddress(m_module, exportName.c_str());
                if (address == nullptr)
                {
                    throw std::runtime_error("Missing function in library");
                }
                kEntryPoints[index].store(*this, address);
            }
        }
        catch (const std::runtime_error&)
        {
            if (IsMandatoryGroup(group))
            {
                return false;
            }
        }
        index = end;
    }
    return true;
}

} // namespace velmar::helper
