#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/crypto_win.h"
#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "common/text.h"
#include "common/text_win.h"
#include "test_support_win.h"

namespace nuvra {
namespace {

using testing::Descriptor;
using testing::reasonOf;
using testing::ScratchDirectory;
using testing::writeFile;

bool isTestbed() {
  return std::string(policy::flavourName()) == "testbed";
}

std::wstring ownImagePath() {
  std::wstring path(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), 32768);
  path.resize(length);
  return path;
}

// This test executable started again, suspended so that it never runs; with
// `nonElevated` it gets the linked (limited) token of ours.
struct SuspendedChild {
  UniqueHandle process;
  UniqueHandle thread;
  DWORD id = 0;
  ~SuspendedChild() {
    if (process) {
      TerminateProcess(process.get(), 0);
      WaitForSingleObject(process.get(), 5000);
    }
  }
};

bool startSuspendedChild(SuspendedChild& child, bool nonElevated) {
  const std::wstring image = ownImagePath();
  std::wstring commandLine = quoteArgument(image) + L" --gtest_list_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  BOOL started = FALSE;
  if (nonElevated) {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
    UniqueHandle token(rawToken);
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
      return false;
    }
    UniqueHandle linkedToken(linked.LinkedToken);
    HANDLE rawPrimary = nullptr;
    if (!DuplicateTokenEx(linkedToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                          TokenPrimary, &rawPrimary)) {
      return false;
    }
    UniqueHandle primary(rawPrimary);
    started =
        CreateProcessAsUserW(primary.get(), image.c_str(), commandLine.data(), nullptr, nullptr,
                             FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
  } else {
    started = CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
  }
  if (!started) return false;
  child.process = UniqueHandle(info.hProcess);
  child.thread = UniqueHandle(info.hThread);
  child.id = info.dwProcessId;
  return true;
}

TEST(ProcessIdentity, ThisProcessHasTheCurrentUserAndALogonSession) {
  const ProcessIdentity self = readProcessIdentity(GetCurrentProcess());
  EXPECT_EQ(self.user_sid, currentUserSid());
  EXPECT_EQ(self.user_sid.rfind(L"S-1-5-", 0), 0u);
  EXPECT_EQ(self.logon_sid.rfind(L"S-1-5-5-", 0), 0u);
  EXPECT_EQ(self.integrity_sid.rfind(L"S-1-16-", 0), 0u);
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(self.session_id, session);
  // Reading twice gives the same identity.
  sameIdentity(self, readProcessIdentity(GetCurrentProcess()));
}

TEST(ProcessIdentity, AChildStartedWithOurTokenHasOurIdentity) {
  SuspendedChild child;
  ASSERT_TRUE(startSuspendedChild(child, false));
  EXPECT_EQ(readProcessIdentity(child.process.get()), readProcessIdentity(GetCurrentProcess()));
}

TEST(ProcessIdentity, ALimitedChildDiffersOnlyInElevationHere) {
  SuspendedChild child;
  if (!startSuspendedChild(child, true)) GTEST_SKIP() << "no linked token to start a child with";
  const ProcessIdentity self = readProcessIdentity(GetCurrentProcess());
  const ProcessIdentity limited = readProcessIdentity(child.process.get());
  EXPECT_FALSE(limited.elevated);
  EXPECT_EQ(limited.user_sid, self.user_sid);
  if (self.elevated) {
    EXPECT_EQ(reasonOf([&] { sameIdentity(self, limited); }), "broker_native_peer_refused");
  }
}

TEST(ProcessIdentity, AnInvalidProcessHandleIsAnObservationFailure) {
  EXPECT_EQ(reasonOf([] { readProcessIdentity(nullptr); }), "profile_observation_identity");
}

TEST(TokenInformation, SizesOutsideTheBoundsAreRefused) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  UniqueHandle token(raw);
  EXPECT_EQ(fetchTokenInformation(token.get(), TokenSessionId, 4, 4).size(), 4u);
  EXPECT_EQ(reasonOf([&] { fetchTokenInformation(token.get(), TokenSessionId, 8, 16); }),
            "profile_observation_identity");
  EXPECT_EQ(reasonOf([&] { fetchTokenInformation(token.get(), TokenUser, 16, 17); }),
            "profile_observation_identity");
  EXPECT_EQ(reasonOf([] { fetchTokenInformation(nullptr, TokenUser, 16, 1048576); }),
            "profile_observation_identity");
}

// TOKEN_GROUPS laid out by hand: count, padding, then (SID pointer,
// attributes, padding) per group.
class GroupsBuffer {
 public:
  void add(const wchar_t* sid, DWORD attributes) {
    PSID converted = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(sid, &converted));
    sids_.push_back(converted);
    attributes_.push_back(attributes);
  }
  ~GroupsBuffer() {
    for (PSID sid : sids_) LocalFree(sid);
  }
  std::vector<unsigned char> bytes() const {
    std::vector<unsigned char> buffer(8 + 16 * sids_.size(), 0);
    const DWORD count = static_cast<DWORD>(sids_.size());
    std::memcpy(buffer.data(), &count, sizeof(count));
    for (std::size_t i = 0; i < sids_.size(); ++i) {
      SID_AND_ATTRIBUTES group{sids_[i], attributes_[i]};
      std::memcpy(buffer.data() + 8 + 16 * i, &group, sizeof(group));
    }
    return buffer;
  }

 private:
  std::vector<PSID> sids_;
  std::vector<DWORD> attributes_;
};

constexpr DWORD kLogon = 0xC0000007;  // SE_GROUP_LOGON_ID | mandatory | enabled

TEST(LogonSid, TheFirstLogonGroupIsTakenAndEqualRepeatsAreAccepted) {
  GroupsBuffer groups;
  groups.add(L"S-1-1-0", 7);
  groups.add(L"S-1-5-5-0-1234", kLogon);
  groups.add(L"S-1-5-11", 7);
  groups.add(L"S-1-5-5-0-1234", kLogon);
  const auto bytes = groups.bytes();
  EXPECT_EQ(logonSidFromGroups(bytes.data(), bytes.size()), L"S-1-5-5-0-1234");
}

TEST(LogonSid, TwoDifferentLogonSidsAreRefused) {
  GroupsBuffer groups;
  groups.add(L"S-1-5-5-0-1234", kLogon);
  groups.add(L"S-1-5-5-0-1235", kLogon);
  const auto bytes = groups.bytes();
  EXPECT_EQ(reasonOf([&] { logonSidFromGroups(bytes.data(), bytes.size()); }),
            "profile_observation_identity");
}

TEST(LogonSid, NoLogonGroupOrABadBufferIsRefused) {
  GroupsBuffer groups;
  groups.add(L"S-1-5-5-0-1234", 0x80000007);  // only one of the two bits
  groups.add(L"S-1-1-0", 7);
  const auto bytes = groups.bytes();
  EXPECT_EQ(reasonOf([&] { logonSidFromGroups(bytes.data(), bytes.size()); }),
            "profile_observation_identity");
  // A size too small for the stated count.
  GroupsBuffer one;
  one.add(L"S-1-5-5-0-1234", kLogon);
  const auto single = one.bytes();
  EXPECT_EQ(reasonOf([&] { logonSidFromGroups(single.data(), single.size() - 1); }),
            "profile_observation_identity");
  // No groups at all.
  const std::vector<unsigned char> empty(8, 0);
  EXPECT_EQ(reasonOf([&] { logonSidFromGroups(empty.data(), empty.size()); }),
            "profile_observation_identity");
}

TEST(IdentityHashes, OwnerAndAuthenticationIdHashTheirTexts) {
  EXPECT_EQ(ownerSidHash(), sha256Hex(utf16ToUtf8(currentUserSid())));
  EXPECT_EQ(ownerSidHash().size(), 64u);
  EXPECT_EQ(authenticationIdHash({0x3E7, 0}), sha256Hex("00000000000003e7"));
}

TEST(ImagePath, IsThisExecutable) {
  const std::string image = processImagePath(GetCurrentProcess());
  EXPECT_TRUE(samePathIgnoringCase(utf8ToUtf16(image), ownImagePath()));
  EXPECT_EQ(reasonOf([] { processImagePath(nullptr); }), "profile_parent_image");
}

TEST(ImagePath, HashIgnoresLetterCaseAndTrailingSeparators) {
  const std::wstring image = ownImagePath();
  std::wstring lower = image;
  for (auto& unit : lower) unit = static_cast<wchar_t>(towlower(unit));
  const std::string hash = imagePathHash(GetCurrentProcess());
  EXPECT_EQ(hash.size(), 64u);
  EXPECT_EQ(imagePathHashOf(image), hash);
  EXPECT_EQ(imagePathHashOf(lower + L"\\"), hash);
  EXPECT_EQ(imagePathHashOf(image + L"\\/\\"), hash);
  // pathHash upper-cases but keeps everything else.
  EXPECT_EQ(pathHash(image), hash);
  EXPECT_EQ(pathHash(lower), hash);
  EXPECT_NE(pathHash(image + L"\\"), hash);
  EXPECT_EQ(reasonOf([] { pathHash(L""); }), "profile_observation_image");
  EXPECT_EQ(reasonOf([] { imagePathHashOf(std::wstring(L"C:\\a\0b", 6)); }),
            "profile_observation_image");
}

TEST(InteractiveUserRule, RefusesElevationAndAcceptsMediumIntegrity) {
  ProcessIdentity identity;
  identity.integrity_sid = L"S-1-16-8192";
  EXPECT_TRUE(meetsInteractiveUserRule(identity));
  identity.integrity_sid = L"S-1-16-8448";
  EXPECT_TRUE(meetsInteractiveUserRule(identity));
  identity.elevated = true;
  EXPECT_FALSE(meetsInteractiveUserRule(identity));
  identity.integrity_sid = L"S-1-16-12288";
  EXPECT_FALSE(meetsInteractiveUserRule(identity));
  identity.elevated = false;
  identity.integrity_sid = L"S-1-16-16384";
  EXPECT_FALSE(meetsInteractiveUserRule(identity));
}

TEST(InteractiveUserRule, HighIntegrityIsAcceptedOnlyByTheTestbedFlavour) {
  ProcessIdentity identity;
  identity.integrity_sid = L"S-1-16-12288";
  EXPECT_EQ(meetsInteractiveUserRule(identity), isTestbed());
}

class PeerVerification : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!startSuspendedChild(child_, true)) GTEST_SKIP() << "no linked token to start a child with";
    identity_ = readProcessIdentity(child_.process.get());
    creation_ = processCreationTime(child_.process.get());
    image_ = imagePathHash(child_.process.get());
  }
  SuspendedChild child_;
  ProcessIdentity identity_;
  std::string creation_;
  std::string image_;
};

TEST_F(PeerVerification, ALiveInteractiveChildPassesWhereTheFlavourAcceptsItsIntegrity) {
  EXPECT_EQ(verifyPeerProcess(child_.id, creation_, image_, identity_),
            meetsInteractiveUserRule(identity_));
  if (isTestbed()) {
    EXPECT_TRUE(verifyPeerProcess(child_.id, creation_, image_, identity_));
  } else {
    // The release flavour refuses the high integrity every Wine token has.
    EXPECT_EQ(verifyPeerProcess(child_.id, creation_, image_, identity_),
              isMediumIntegrity(identity_.integrity_sid));
  }
}

TEST_F(PeerVerification, AnyMismatchAnswersFalse) {
  const std::string later = formatDecimal64(parseDecimal64(creation_) + 1);
  EXPECT_FALSE(verifyPeerProcess(child_.id, later, image_, identity_));
  EXPECT_FALSE(verifyPeerProcess(child_.id, "0" + creation_, image_, identity_));
  EXPECT_FALSE(verifyPeerProcess(child_.id, creation_, std::string(64, '0'), identity_));
  ProcessIdentity other = identity_;
  other.session_id += 1;
  EXPECT_FALSE(verifyPeerProcess(child_.id, creation_, image_, other));
  EXPECT_FALSE(verifyPeerProcess(0, creation_, image_, identity_));
}

TEST_F(PeerVerification, AnExitedChildAnswersFalse) {
  ASSERT_TRUE(TerminateProcess(child_.process.get(), 0));
  ASSERT_EQ(WaitForSingleObject(child_.process.get(), 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(verifyPeerProcess(child_.id, creation_, image_, identity_));
}

TEST(PeerVerificationOfSelf, AnElevatedProcessIsRefused) {
  const ProcessIdentity self = readProcessIdentity(GetCurrentProcess());
  if (!self.elevated) GTEST_SKIP() << "this process is not elevated";
  EXPECT_FALSE(verifyPeerProcess(GetCurrentProcessId(), processCreationTime(GetCurrentProcess()),
                                 imagePathHash(GetCurrentProcess()), self));
}

// Owner-only check of kernel objects: exact on every Windows, Wine included.
class OwnerOnlyMutex : public ::testing::Test {
 protected:
  std::string check(const std::wstring& sddl) {
    Descriptor descriptor(sddl);
    if (descriptor.get() == nullptr) return "bad sddl";
    SECURITY_ATTRIBUTES attributes = descriptor.attributes();
    UniqueHandle mutex(CreateMutexW(&attributes, FALSE, nullptr));
    if (!mutex) return "no mutex";
    return reasonOf([&] { checkOwnerOnly(mutex.get(), OwnedObject::kernelObject); });
  }
  const std::wstring user_ = currentUserSid();
};

TEST_F(OwnerOnlyMutex, AProtectedSingleAceForTheUserPasses) {
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;;GA;;;" + user_ + L")"), "");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;;0x001f0001;;;" + user_ + L")"), "");
}

TEST_F(OwnerOnlyMutex, AnUnprotectedDaclFails) {
  EXPECT_EQ(check(L"O:" + user_ + L"D:(A;;0x001f0001;;;" + user_ + L")"), "profile_security");
}

TEST_F(OwnerOnlyMutex, AnyOtherGrantOrOwnerFails) {
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;;GA;;;" + user_ + L")(A;;GR;;;WD)"), "profile_security");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;;GA;;;WD)"), "profile_security");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;;GR;;;" + user_ + L")"), "profile_security");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;;0x001f01ff;;;" + user_ + L")"), "profile_security");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(A;OICI;GA;;;" + user_ + L")"), "profile_security");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P(D;;GA;;;" + user_ + L")"), "profile_security");
  EXPECT_EQ(check(L"O:" + user_ + L"D:P"), "profile_security");
  const std::string foreign = check(L"O:SYD:P(A;;GA;;;" + user_ + L")");
  if (foreign != "no mutex") {
    EXPECT_EQ(foreign, "profile_security");
  }
}

// Files and directories: Wine rebuilds their security from the Unix mode,
// so only the testbed flavour can accept what it shows for an owner-only one.
class OwnerOnlyFile : public ::testing::Test {
 protected:
  std::wstring fileDescriptor() const { return L"O:" + user_ + L"D:P(A;;GA;;;" + user_ + L")"; }
  std::string checkFile(const std::wstring& path, OwnedObject kind = OwnedObject::file) {
    UniqueHandle file(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return "no handle";
    return reasonOf([&] { checkOwnerOnly(file.get(), kind); });
  }
  const std::wstring user_ = currentUserSid();
  ScratchDirectory scratch_;
};

TEST_F(OwnerOnlyFile, AFileCreatedOwnerOnlyPassesOnlyInTheTestbedFlavour) {
  const std::wstring path = scratch_.file(L"owner-only.json");
  ASSERT_TRUE(writeFile(path, "{}", fileDescriptor()));
  EXPECT_EQ(checkFile(path), isTestbed() ? "" : "profile_security");
}

TEST_F(OwnerOnlyFile, AWorldReadableFileFailsInBothFlavours) {
  const std::wstring path = scratch_.file(L"world.json");
  ASSERT_TRUE(writeFile(path, "{}", L"O:" + user_ + L"D:P(A;;GA;;;" + user_ + L")(A;;GR;;;WD)"));
  const SecurityFacts facts = [&] {
    UniqueHandle file(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    return readSecurityFacts(file.get());
  }();
  bool everyone = false;
  for (const auto& ace : facts.aces) everyone = everyone || ace.sid == L"S-1-1-0";
  EXPECT_TRUE(everyone) << "the file should show a grant to Everyone";
  EXPECT_EQ(checkFile(path), "profile_security");
}

TEST_F(OwnerOnlyFile, ADescriptorLargerThanTheFirstReadIsReadWhole) {
  std::wstring sddl = L"O:" + user_ + L"D:P(A;;GA;;;" + user_ + L")";
  for (int i = 0; i < 64; ++i)
    sddl += L"(A;;GR;;;S-1-5-21-1-2-3-" + std::to_wstring(2000 + i) + L")";
  Descriptor descriptor(sddl + L"(A;;GR;;;WD)");
  SECURITY_ATTRIBUTES attributes = descriptor.attributes();
  UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const SecurityFacts facts = readSecurityFacts(event.get());
  ASSERT_EQ(facts.aces.size(), 66u);
  EXPECT_EQ(facts.aces.back().sid, L"S-1-1-0");
  EXPECT_EQ(facts.owner_sid, user_);
}

TEST_F(OwnerOnlyFile, AnOwnerOnlyDirectoryPassesAsADirectoryInTheTestbedFlavour) {
  const std::wstring path = scratch_.file(L"dir");
  Descriptor descriptor(L"O:" + user_ + L"D:P(A;OICI;GA;;;" + user_ + L")");
  SECURITY_ATTRIBUTES attributes = descriptor.attributes();
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), &attributes));
  EXPECT_EQ(checkFile(path, OwnedObject::directory), isTestbed() ? "" : "profile_security");
  EXPECT_EQ(checkFile(path, OwnedObject::file), "profile_security");
}

TEST(OwnerOnlyPolicy, TheSystemAndUserFormIsTheOnlyWidening) {
  const std::wstring user = L"S-1-5-21-1-2-3-1001";
  SecurityFacts wine;
  wine.owner_sid = user;
  wine.dacl_present = true;
  wine.aces = {{0, 0, 0x1f01ff, L"S-1-5-18"}, {0, 0, 0x1f01ff, user}};
  const bool testbed = isTestbed();
  EXPECT_EQ(policy::acceptsSystemAndUserOnlyFile(wine, user, OwnedObject::file), testbed);
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(wine, user, OwnedObject::kernelObject));
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(wine, user, OwnedObject::directory));

  SecurityFacts directory = wine;
  for (auto& ace : directory.aces) ace.flags = 0x03;
  EXPECT_EQ(policy::acceptsSystemAndUserOnlyFile(directory, user, OwnedObject::directory), testbed);
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(directory, user, OwnedObject::file));

  SecurityFacts world = wine;
  world.aces.push_back({0, 0, 0x1200a9, L"S-1-1-0"});
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(world, user, OwnedObject::file));

  SecurityFacts foreign = wine;
  foreign.owner_sid = L"S-1-5-21-1-2-3-1002";
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(foreign, user, OwnedObject::file));

  SecurityFacts twiceUser = wine;
  twiceUser.aces[0].sid = user;
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(twiceUser, user, OwnedObject::file));

  SecurityFacts readOnlySystem = wine;
  readOnlySystem.aces[0].mask = 0x1200a9;
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(readOnlySystem, user, OwnedObject::file));

  SecurityFacts noDacl = wine;
  noDacl.dacl_present = false;
  EXPECT_FALSE(policy::acceptsSystemAndUserOnlyFile(noDacl, user, OwnedObject::file));
}

}  // namespace
}  // namespace nuvra
