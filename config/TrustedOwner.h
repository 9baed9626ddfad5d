#pragma once
// Whom the product trusts to own the objects it shares between its processes (storage folders, the
// storage claims): the local system, the Administrators group, or the account of this very process
// (an administrator's own objects are owned by that administrator's account under some policies).
// Anything owned by another account may have been made first by a local user to steer the product.
#include <windows.h>

bool IsTrustedOwner(PSID owner);
