// The parts of process identity and owner-only security that are pure rules
// over already-read facts: comparison of identities, the text forms that get
// hashed, and the owner-only rule over a decoded security descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nuvra {

// A token's AuthenticationId (a LUID): unsigned low part, signed high part.
struct AuthenticationId {
  std::uint32_t low = 0;
  std::int32_t high = 0;
  bool operator==(const AuthenticationId&) const = default;
};

// Who a process is, as its token says. Field order is the order of reading.
struct ProcessIdentity {
  std::wstring user_sid;
  std::wstring logon_sid;
  std::wstring integrity_sid;
  AuthenticationId authentication_id;
  std::uint32_t session_id = 0;
  bool elevated = false;
  bool operator==(const ProcessIdentity&) const = default;
};

// Passes when all six fields are equal, else "broker_native_peer_refused".
void sameIdentity(const ProcessIdentity& a, const ProcessIdentity& b);

// "%08x%08x" of the high part, then the low part; the text that is hashed.
std::string authenticationIdText(AuthenticationId id);

// A FILETIME as one unsigned 64-bit value, in base 10 without padding.
std::string filetimeText(std::uint64_t filetime);

// Medium ("S-1-16-8192") or medium plus ("S-1-16-8448").
bool isMediumIntegrity(std::wstring_view integritySid) noexcept;

// What an owner-only check is applied to; each kind has its full access mask.
enum class OwnedObject { kernelObject, file, directory };

constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kMutexAllAccess = 0x001F0001;
constexpr std::uint32_t kFileAllAccess = 0x001F01FF;
constexpr std::uint8_t kAccessAllowedAceType = 0;
// OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, the flags of a directory's
// own owner-only ACE ("D:P(A;OICI;GA;;;user)").
constexpr std::uint8_t kObjectAndContainerInherit = 0x03;

struct AceFacts {
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  std::uint32_t mask = 0;
  std::wstring sid;  // empty for ACE types that carry no plain SID
};

// Owner and DACL of an object as read back from the system.
struct SecurityFacts {
  std::wstring owner_sid;
  bool dacl_present = false;
  bool dacl_protected = false;
  std::vector<AceFacts> aces;
};

// Full access for the kind, or GENERIC_ALL.
bool grantsFullAccess(std::uint32_t mask, OwnedObject kind) noexcept;

// Owned by the user, a protected DACL with exactly one access-allowed ACE for
// the user with full access. The ACE has no flags, except that a directory's
// ACE may carry exactly object-and-container inherit: that is how the
// product creates its directories, and inheritance grants nobody else.
bool isStrictlyOwnerOnly(const SecurityFacts& facts, std::wstring_view userSid,
                         OwnedObject kind) noexcept;

}  // namespace nuvra
