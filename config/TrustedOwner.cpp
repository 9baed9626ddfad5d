#include "config/TrustedOwner.h"

#include "platform/UniqueHandle.h"

#include <vector>

namespace
{
bool IsProcessUser(PSID sid)
{
    platform::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
    {
        return false;
    }
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
    {
        return false;
    }
    return ::EqualSid(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, sid) != FALSE;
}
} // namespace

bool IsTrustedOwner(PSID owner)
{
    return owner != nullptr && (::IsWellKnownSid(owner, WinLocalSystemSid) ||
                                ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsProcessUser(owner));
}
