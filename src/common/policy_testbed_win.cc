// The test bed runs under Wine, which cannot show either of two things the
// product demands: file security is rebuilt from Unix mode bits, so a file or
// directory reads back as owned by the user with full access for SYSTEM and
// the user, never protected; and every token carries high integrity. The two
// decisions below accept exactly those renderings and nothing wider.
#include "common/policy.h"

namespace nuvra::policy {
namespace {

constexpr std::wstring_view kLocalSystemSid = L"S-1-5-18";

bool isFullAccessAllowed(const AceFacts& ace, OwnedObject kind) noexcept {
  const std::uint8_t expectedFlags =
      kind == OwnedObject::directory ? kObjectAndContainerInherit : 0;
  return ace.type == kAccessAllowedAceType && ace.flags == expectedFlags &&
         grantsFullAccess(ace.mask, kind);
}

}  // namespace

const char* flavourName() noexcept {
  return "testbed";
}

//   owner  DACL                                   accepted
//   user   (A;;FA;;;SY)(A;;FA;;;user)             yes (file)
//   user   (A;OICI;FA;;;SY)(A;OICI;FA;;;user)     yes (directory)
//   user   ... plus (A;;0x1200a9;;;WD)            no  (world-readable)
//   other  (A;;FA;;;SY)(A;;FA;;;user)             no  (foreign owner)
bool acceptsSystemAndUserOnlyFile(const SecurityFacts& facts, std::wstring_view userSid,
                                  OwnedObject kind) noexcept {
  if (kind == OwnedObject::kernelObject) return false;
  if (userSid.empty() || facts.owner_sid != userSid) return false;
  if (!facts.dacl_present || facts.aces.size() != 2) return false;
  const AceFacts& first = facts.aces[0];
  const AceFacts& second = facts.aces[1];
  if (!isFullAccessAllowed(first, kind) || !isFullAccessAllowed(second, kind)) return false;
  return (first.sid == kLocalSystemSid && second.sid == userSid) ||
         (first.sid == userSid && second.sid == kLocalSystemSid);
}

bool acceptsHighIntegrityUser(std::wstring_view integritySid) noexcept {
  return integritySid == L"S-1-16-12288";
}

}  // namespace nuvra::policy
