#include "config/ProductKey.h"

#include "config/Config.h"
#include "platform/SystemApi.h"
#include "platform/UniqueHandle.h"

#include <sddl.h>

#include <vector>

namespace
{

constexpr const char* kOpenFailed = "Cannot open from registry.";
constexpr const char* kSecureFailed = "Cannot secure the registry key";

// What a subkey of the protected key holds once it inherits from it.
constexpr const wchar_t* kInheritedSecurity = L"D:AI(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)";

constexpr REGSAM kTreeAccess = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | READ_CONTROL | WRITE_DAC;

platform::UniqueLocalMemory SecurityDescriptor(const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
    {
        throw RegistryError(kSecureFailed, static_cast<std::int32_t>(::GetLastError()));
    }
    return platform::UniqueLocalMemory(descriptor);
}

void SetDacl(HKEY key, PSECURITY_DESCRIPTOR descriptor)
{
    const LSTATUS status = ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    if (status != ERROR_SUCCESS)
    {
        throw RegistryError(kSecureFailed, static_cast<std::int32_t>(status));
    }
}

// Gives every key below key the DACL it inherits from the protected product key. Security set on a
// key is not handed down to the subkeys that exist already ("parameters" with its envelopes).
void InheritBelow(HKEY key, PSECURITY_DESCRIPTOR inherited)
{
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256] = {};
        DWORD length = 256;
        const LSTATUS status =
            platform::Api().RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        if (status != ERROR_SUCCESS)
        {
            throw RegistryError(kSecureFailed, static_cast<std::int32_t>(status));
        }
        names.emplace_back(name, length);
    }
    for (const std::wstring& name : names)
    {
        platform::UniqueKey subkey;
        const LSTATUS status = platform::Api().RegOpenKeyExW(key, name.c_str(), 0, kTreeAccess, subkey.put());
        if (status != ERROR_SUCCESS)
        {
            throw RegistryError(kSecureFailed, static_cast<std::int32_t>(status));
        }
        SetDacl(subkey.get(), inherited);
        InheritBelow(subkey.get(), inherited);
    }
}

} // namespace

CRegistry CreateProductKey(ExistingProductKey existing)
{
    const platform::UniqueLocalMemory descriptor = SecurityDescriptor(kProductKeySecurity);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};

    const CRegistry maker = CRegistry::Create(HKEY_LOCAL_MACHINE, CConfig::kMakerKey);
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LSTATUS status = platform::Api().RegCreateKeyExW(maker.Handle(), CConfig::kProductKey, 0, nullptr,
                                                           REG_OPTION_NON_VOLATILE, CRegistry::kWriteAccess,
                                                           &attributes, &key, &disposition);
    if (status != ERROR_SUCCESS)
    {
        throw RegistryError(kOpenFailed, static_cast<std::int32_t>(status));
    }
    CRegistry product(key);
    const bool created = disposition == REG_CREATED_NEW_KEY;
    if (created || existing == ExistingProductKey::Protect)
    {
        // The descriptor is set once more on a key just created: not every registry keeps the one given
        // at creation. The creator owns the new key, and the owner may always change its DACL.
        platform::UniqueKey secured;
        const LSTATUS opened =
            platform::Api().RegOpenKeyExW(product.Handle(), nullptr, 0, kTreeAccess, secured.put());
        if (opened != ERROR_SUCCESS)
        {
            throw RegistryError(kSecureFailed, static_cast<std::int32_t>(opened));
        }
        SetDacl(secured.get(), descriptor.get());
        if (!created)
        {
            InheritBelow(secured.get(), SecurityDescriptor(kInheritedSecurity).get());
        }
    }
    return product;
}
