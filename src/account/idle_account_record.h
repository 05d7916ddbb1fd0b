// The idle-account record: the work handoff text of the account worker. The
// launch (children/launch_win.cc, kind 9) builds it before the worker exists,
// with "0" in place of the two control pipe ends, and fills those once the
// ends have been duplicated into the suspended worker. The account-worker
// role of the broker executable reads it back and checks it before it trusts
// any handle value in it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "launch/handoff_guards.h"

namespace nuvra {

struct IdleAccountFields {
  std::string home;  // UTF-8
  std::string root;  // UTF-8
  std::string ownerSidHash;
  std::string payloadDigest;
  std::string generation;
  std::uint64_t deadline = 0;     // the worker's deadline
  std::uint32_t startupMode = 0;  // 2 resident, anything else setup
  std::uint64_t instanceNonce = 0;
  std::uint64_t serialization = 0;  // "s"
  std::uint64_t lifetime = 0;       // "l"
  std::uint64_t parent = 0;
  std::uint32_t parentPid = 0;
  std::uint32_t workVolume = 0;
  std::uint64_t workId = 0;  // the work marker's file index
  std::string guards;        // HandoffGuards::text()
};

// "nuvra.profile-idle-account.v1" and the seventeen keys after it in their
// fixed order, with "control_read":"0" and "control_write":"0". No line feed.
std::string idleAccountRecord(const IdleAccountFields& fields);

// Replaces the placeholder "KEY":"0" of "control_read" or "control_write" by
// the handle value in decimal as a JSON string. The placeholder must occur
// exactly once, and the value must not be 0 (it would read as the
// placeholder again); else "profile_account_handoff".
//   …"control_read":"0",…  + 1234  ->  …"control_read":"1234",…
std::string fillControlHandle(std::string_view text, std::string_view key, std::uint64_t handle);

struct IdleAccountHandoff {
  IdleAccountFields fields;  // `guards` left empty
  std::uint64_t controlRead = 0;
  std::uint64_t controlWrite = 0;
  std::vector<HandoffGuard> guards;
};

// The worker role's check of its handoff text: exactly the eighteen keys in
// order, the schema name, non-empty texts, "startup_kind" "resident" or
// "setup", a non-zero nonce, canonical handle values (positive, below
// 2^63-1; so both control ends filled), positive "parent_pid", 32-bit
// numbers, a guard list whose handles include "l". Anything else is
// "profile_account_handoff".
IdleAccountHandoff readIdleAccountRecord(std::string_view text);

}  // namespace nuvra
