#include "common/identity.h"

#include "common/reason.h"
#include "common/text.h"

namespace nuvra {

void sameIdentity(const ProcessIdentity& a, const ProcessIdentity& b) {
  if (!(a == b)) fail("broker_native_peer_refused");
}

std::string authenticationIdText(AuthenticationId id) {
  return hex64(static_cast<std::uint32_t>(id.high), id.low);
}

std::string filetimeText(std::uint64_t filetime) {
  return formatDecimal64(filetime);
}

bool isMediumIntegrity(std::wstring_view integritySid) noexcept {
  return integritySid == L"S-1-16-8192" || integritySid == L"S-1-16-8448";
}

bool grantsFullAccess(std::uint32_t mask, OwnedObject kind) noexcept {
  if (mask == kGenericAll) return true;
  return mask == (kind == OwnedObject::kernelObject ? kMutexAllAccess : kFileAllAccess);
}

bool isStrictlyOwnerOnly(const SecurityFacts& facts, std::wstring_view userSid,
                         OwnedObject kind) noexcept {
  if (userSid.empty() || facts.owner_sid != userSid) return false;
  if (!facts.dacl_present || !facts.dacl_protected || facts.aces.size() != 1) return false;
  const AceFacts& ace = facts.aces.front();
  const bool flagsAllowed =
      ace.flags == 0 || (kind == OwnedObject::directory && ace.flags == kObjectAndContainerInherit);
  return ace.type == kAccessAllowedAceType && flagsAllowed && ace.sid == userSid &&
         grantsFullAccess(ace.mask, kind);
}

}  // namespace nuvra
