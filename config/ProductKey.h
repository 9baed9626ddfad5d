#pragma once
// The product key HKLM\SOFTWARE\VELMAR\ORVANE.CL.drv. It holds the password envelopes, so only the
// system and the administrators may read or change it; every key below it inherits that.
#include "config/Registry.h"

// A protected DACL (nothing inherited from SOFTWARE, which lets Users read): SYSTEM and the
// Administrators full control, inherited by subkeys; nobody else has an entry.
inline constexpr const wchar_t* kProductKeySecurity = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)";

enum class ExistingProductKey
{
    Keep,    // a key that exists keeps its security (a processing start, adding a device)
    Protect, // a key that exists gets the protected DACL, and its subkeys the inherited one (-I)
};

// Opens the product key for reading and changing, creating it and the maker key when they are
// missing; a product key created here gets kProductKeySecurity. Throws RegistryError "Cannot open
// from registry." when it cannot be created or opened, "Cannot secure the registry key" when its
// security cannot be built or set.
CRegistry CreateProductKey(ExistingProductKey existing = ExistingProductKey::Keep);
