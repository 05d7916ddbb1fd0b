// The two policy decisions that differ between the release flavour and the
// testbed flavour. The release flavour compiles policy_release_win.cc, the
// testbed flavour policy_testbed_win.cc; nothing else differs between them.
// Both decisions only ever widen what the strict rules already accept, and the
// release flavour widens nothing.
#pragma once

#include <string_view>

#include "common/identity.h"

namespace nuvra::policy {

// Name of the flavour, for diagnostics and tests.
const char* flavourName() noexcept;

// Whether a file or directory whose security is exactly "owned by the user,
// full access for SYSTEM and the user and for nobody else" (unprotected; a
// directory's ACEs inherit to objects and containers) passes the owner-only
// check besides the strict form. Never consulted for kernel objects.
bool acceptsSystemAndUserOnlyFile(const SecurityFacts& facts, std::wstring_view userSid,
                                  OwnedObject kind) noexcept;

// Whether the interactive-user rule accepts this integrity level besides
// medium and medium plus. Elevation is refused regardless.
bool acceptsHighIntegrityUser(std::wstring_view integritySid) noexcept;

}  // namespace nuvra::policy
