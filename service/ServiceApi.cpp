#include "service/ServiceApi.h"

#include "platform/ConsoleText.h"
#include "platform/SystemError.h"

#include <cstdio>

namespace service
{

namespace
{

void WriteStandardError(const std::wstring& text)
{
    platform::WriteStandardText(STD_ERROR_HANDLE, text);
}

} // namespace

ServiceApi& Api()
{
    static ServiceApi api{
        .OpenSCManagerW = &::OpenSCManagerW,
        .OpenServiceW = &::OpenServiceW,
        .CreateServiceW = &::CreateServiceW,
        .ChangeServiceConfig2W = &::ChangeServiceConfig2W,
        .StartServiceW = &::StartServiceW,
        .ControlService = &::ControlService,
        .QueryServiceStatusEx = &::QueryServiceStatusEx,
        .DeleteService = &::DeleteService,
        .SetServiceStatus = &::SetServiceStatus,
        .GetTickCount64 = &::GetTickCount64,
        .Sleep = &::Sleep,
        .GetNamedSecurityInfoW = &::GetNamedSecurityInfoW,
        .WriteError = &WriteStandardError,
    };
    return api;
}

std::wstring SystemErrorText(DWORD error)
{
    std::wstring text = FormatSystemError(error);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
    {
        text.pop_back();
    }
    return ToHex(error) + L" " + text;
}

} // namespace service
