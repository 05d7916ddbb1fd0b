// The work handoff a runtime gives every broker it starts: the read-only
// mapping named by NUVRA_PROFILE_WORK_HANDOFF, holding a length word and the
// record text.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace nuvra::broker {

// The handoff handle named by the environment, or null.
HANDLE workHandoffHandle() noexcept;

// The record text of the mapping; nothing when it cannot be mapped or its
// length word is out of range.
std::optional<std::string> readWorkHandoff(HANDLE mapping);

}  // namespace nuvra::broker
