#include "service/FolderSecurity.h"

#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"
#include "service/ServiceApi.h"

#include <aclapi.h>

namespace
{

constexpr const wchar_t* kEventSource = L"ORVANE.CL.drv";

// FILE_WRITE_DATA and FILE_APPEND_DATA are also a folder's add-file and add-subfolder rights.
constexpr ACCESS_MASK kChangingRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE |
                                        WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

constexpr WELL_KNOWN_SID_TYPE kNonAdministrators[] = {WinBuiltinUsersSid, WinAuthenticatedUserSid,
                                                      WinWorldSid, WinInteractiveSid};

bool IsNonAdministrator(PSID sid)
{
    for (const WELL_KNOWN_SID_TYPE type : kNonAdministrators)
    {
        if (::IsWellKnownSid(sid, type))
        {
            return true;
        }
    }
    return false;
}

void ReportToEventLog(const std::wstring& text)
{
    const platform::UniqueEventSource source(platform::Api().RegisterEventSourceW(nullptr, kEventSource));
    const wchar_t* strings[] = {text.c_str()};
    platform::Api().ReportEventW(source.get(), EVENTLOG_WARNING_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
}

} // namespace

bool WritableByNonAdministrators(const ACL* dacl)
{
    if (dacl == nullptr)
    {
        return true;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index)
    {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), index, &entry))
        {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0)
        {
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kChangingRights) != 0 && IsNonAdministrator(&allowed->SidStart))
        {
            return true;
        }
    }
    return false;
}

void WarnIfWritableByNonAdministrators(const std::vector<std::wstring>& paths)
{
    for (const std::wstring& path : paths)
    {
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (service::Api().GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                 nullptr, nullptr, &dacl, nullptr,
                                                 &descriptor) != ERROR_SUCCESS)
        {
            continue;
        }
        const platform::UniqueLocalMemory owned(descriptor);
        if (!WritableByNonAdministrators(dacl))
        {
            continue;
        }
        const std::wstring text = L"Warning: users who are not administrators can change " + path +
                                  L"; whatever they put there runs in the service as the local system.";
        service::Api().WriteError(text + L"\n");
        ReportToEventLog(text);
    }
}
