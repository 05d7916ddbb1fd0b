#include "common/identity.h"

#include <gtest/gtest.h>

#include <string>

#include "common/reason.h"

namespace nuvra {
namespace {

constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";

ProcessIdentity sampleIdentity() {
  ProcessIdentity identity;
  identity.user_sid = kUser;
  identity.logon_sid = L"S-1-5-5-0-12345";
  identity.integrity_sid = L"S-1-16-8192";
  identity.authentication_id = {0x1234, 0};
  identity.session_id = 1;
  identity.elevated = false;
  return identity;
}

std::string refusalOf(const ProcessIdentity& a, const ProcessIdentity& b) {
  try {
    sameIdentity(a, b);
  } catch (const ProfileError& failure) {
    return failure.what();
  }
  return "";
}

SecurityFacts ownerOnlyFacts(std::uint8_t flags = 0, std::uint32_t mask = kGenericAll) {
  SecurityFacts facts;
  facts.owner_sid = kUser;
  facts.dacl_present = true;
  facts.dacl_protected = true;
  facts.aces.push_back({kAccessAllowedAceType, flags, mask, kUser});
  return facts;
}

TEST(SameIdentity, PassesOnlyWhenAllSixFieldsAreEqual) {
  const ProcessIdentity base = sampleIdentity();
  EXPECT_EQ(refusalOf(base, base), "");
  auto changed = [&](auto change) {
    ProcessIdentity other = base;
    change(other);
    return refusalOf(base, other);
  };
  EXPECT_EQ(changed([](auto& i) { i.user_sid = L"S-1-5-21-1-2-3-1002"; }),
            "broker_native_peer_refused");
  EXPECT_EQ(changed([](auto& i) { i.logon_sid = L"S-1-5-5-0-12346"; }),
            "broker_native_peer_refused");
  EXPECT_EQ(changed([](auto& i) { i.integrity_sid = L"S-1-16-8448"; }),
            "broker_native_peer_refused");
  EXPECT_EQ(changed([](auto& i) { i.authentication_id.low = 0x1235; }),
            "broker_native_peer_refused");
  EXPECT_EQ(changed([](auto& i) { i.authentication_id.high = 1; }), "broker_native_peer_refused");
  EXPECT_EQ(changed([](auto& i) { i.session_id = 2; }), "broker_native_peer_refused");
  EXPECT_EQ(changed([](auto& i) { i.elevated = true; }), "broker_native_peer_refused");
  // Strings are compared exactly, not ignoring case.
  EXPECT_EQ(changed([](auto& i) { i.user_sid = L"s-1-5-21-1-2-3-1001"; }),
            "broker_native_peer_refused");
}

TEST(IdentityText, AuthenticationIdIsHighThenLowInSixteenHexDigits) {
  EXPECT_EQ(authenticationIdText({0x3E7, 0}), "00000000000003e7");
  EXPECT_EQ(authenticationIdText({0x89abcdef, 0x01234567}), "0123456789abcdef");
  // The signed high part is written as its 32-bit pattern.
  EXPECT_EQ(authenticationIdText({0, -1}), "ffffffff00000000");
}

TEST(IdentityText, FiletimeIsPlainDecimal) {
  EXPECT_EQ(filetimeText(0), "0");
  EXPECT_EQ(filetimeText(133000000000000000ull), "133000000000000000");
  EXPECT_EQ(filetimeText(18446744073709551615ull), "18446744073709551615");
}

TEST(InteractiveIntegrity, OnlyMediumAndMediumPlusAreMedium) {
  EXPECT_TRUE(isMediumIntegrity(L"S-1-16-8192"));
  EXPECT_TRUE(isMediumIntegrity(L"S-1-16-8448"));
  EXPECT_FALSE(isMediumIntegrity(L"S-1-16-12288"));
  EXPECT_FALSE(isMediumIntegrity(L"S-1-16-4096"));
  EXPECT_FALSE(isMediumIntegrity(L"S-1-16-16384"));
  EXPECT_FALSE(isMediumIntegrity(L""));
  EXPECT_FALSE(isMediumIntegrity(L"S-1-16-8192 "));
}

TEST(StrictOwnerOnly, AcceptsAProtectedSingleFullAccessAceForTheOwner) {
  EXPECT_TRUE(isStrictlyOwnerOnly(ownerOnlyFacts(), kUser, OwnedObject::file));
  EXPECT_TRUE(isStrictlyOwnerOnly(ownerOnlyFacts(), kUser, OwnedObject::kernelObject));
  EXPECT_TRUE(isStrictlyOwnerOnly(ownerOnlyFacts(0, kFileAllAccess), kUser, OwnedObject::file));
  EXPECT_TRUE(
      isStrictlyOwnerOnly(ownerOnlyFacts(0, kMutexAllAccess), kUser, OwnedObject::kernelObject));
}

TEST(StrictOwnerOnly, FullAccessIsThatOfTheObjectKind) {
  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(0, kMutexAllAccess), kUser, OwnedObject::file));
  EXPECT_FALSE(
      isStrictlyOwnerOnly(ownerOnlyFacts(0, kFileAllAccess), kUser, OwnedObject::kernelObject));
  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(0, 0x00120089), kUser, OwnedObject::file));
}

TEST(StrictOwnerOnly, RefusesEveryOtherShape) {
  SecurityFacts unprotected = ownerOnlyFacts();
  unprotected.dacl_protected = false;
  EXPECT_FALSE(isStrictlyOwnerOnly(unprotected, kUser, OwnedObject::kernelObject));

  SecurityFacts noDacl = ownerOnlyFacts();
  noDacl.dacl_present = false;
  noDacl.aces.clear();
  EXPECT_FALSE(isStrictlyOwnerOnly(noDacl, kUser, OwnedObject::file));

  SecurityFacts emptyDacl = ownerOnlyFacts();
  emptyDacl.aces.clear();
  EXPECT_FALSE(isStrictlyOwnerOnly(emptyDacl, kUser, OwnedObject::file));

  SecurityFacts foreignOwner = ownerOnlyFacts();
  foreignOwner.owner_sid = L"S-1-5-32-544";
  EXPECT_FALSE(isStrictlyOwnerOnly(foreignOwner, kUser, OwnedObject::file));

  SecurityFacts foreignAce = ownerOnlyFacts();
  foreignAce.aces[0].sid = L"S-1-1-0";
  EXPECT_FALSE(isStrictlyOwnerOnly(foreignAce, kUser, OwnedObject::file));

  SecurityFacts extraAce = ownerOnlyFacts();
  extraAce.aces.push_back({kAccessAllowedAceType, 0, 0x1200a9, L"S-1-1-0"});
  EXPECT_FALSE(isStrictlyOwnerOnly(extraAce, kUser, OwnedObject::file));

  SecurityFacts denied = ownerOnlyFacts();
  denied.aces[0].type = 1;
  EXPECT_FALSE(isStrictlyOwnerOnly(denied, kUser, OwnedObject::file));

  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(), L"", OwnedObject::file));
  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(), L"S-1-5-21-1-2-3-1002", OwnedObject::file));
}

TEST(StrictOwnerOnly, InheritFlagsAreAllowedOnlyOnDirectoriesAndOnlyAsObjectAndContainer) {
  const SecurityFacts inheriting = ownerOnlyFacts(kObjectAndContainerInherit);
  EXPECT_TRUE(isStrictlyOwnerOnly(inheriting, kUser, OwnedObject::directory));
  EXPECT_TRUE(isStrictlyOwnerOnly(ownerOnlyFacts(), kUser, OwnedObject::directory));
  EXPECT_FALSE(isStrictlyOwnerOnly(inheriting, kUser, OwnedObject::file));
  EXPECT_FALSE(isStrictlyOwnerOnly(inheriting, kUser, OwnedObject::kernelObject));
  // Inherited-from-parent (0x10) and inherit-only (0x08) ACEs are not the object's own grant.
  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(0x10), kUser, OwnedObject::directory));
  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(0x0B), kUser, OwnedObject::directory));
  EXPECT_FALSE(isStrictlyOwnerOnly(ownerOnlyFacts(0x01), kUser, OwnedObject::directory));
}

}  // namespace
}  // namespace nuvra
