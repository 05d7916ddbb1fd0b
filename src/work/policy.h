// The two policy decisions that differ between the release flavour and the
// testbed flavour. The release flavour compiles policy_release_win.cc, the
// testbed flavour policy_testbed_win.cc; nothing else differs between them.
#pragma once

namespace nuvra::policy {

// Name of the flavour, for diagnostics and tests.
const char* flavourName() noexcept;

}  // namespace nuvra::policy
