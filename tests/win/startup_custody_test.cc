// The Windows steps of startup custody, without a launcher: the handoff
// mapping and variable, the acknowledgement pipe, the serialisation mutex
// proof, guard validation and the native target check.
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
#include "common/process_state.h"
#include "common/text.h"
#include "common/text_win.h"
#include "custody/custody_win.h"
#include "custody/guards_win.h"
#include "custody/profile_win.h"
#include "custody/selection_records_win.h"
#include "custody/serialization_object_win.h"
#include "test_support_win.h"

namespace {

using nuvra::UniqueHandle;
using nuvra::testing::reasonOf;

bool isTestbed() {
  return std::string(nuvra::policy::flavourName()) == "testbed";
}

// Owner-only as the product creates its files; under Wine this sets the mode
// that the testbed flavour accepts.
std::wstring ownerOnlySddl() {
  const std::wstring sid = nuvra::currentUserSid();
  return L"O:" + sid + L"D:P(A;;GA;;;" + sid + L")";
}

// A product home laid out on C: with nested directories, removed afterwards.
class ScratchHome {
 public:
  ScratchHome() {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    std::wstring temp(base, length);
    if (!temp.empty() && temp.back() != L'\\') temp.push_back(L'\\');
    static unsigned counter = 0;
    home_ = temp + L"NuvraStartupHome-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    for (const wchar_t* dir :
         {L"", L"\\state", L"\\state\\runtime", L"\\runtime", L"\\runtime\\1.0.0",
          L"\\runtime\\1.0.0\\connector", L"\\runtime\\1.0.0\\connector\\vevadu-code",
          L"\\runtime\\1.0.0\\connector\\vevadu-code\\client"}) {
      CreateDirectoryW((home_ + dir).c_str(), nullptr);
    }
  }
  ~ScratchHome() { removeTree(home_); }
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

  const std::wstring& home() const { return home_; }
  std::wstring root() const { return home_ + L"\\runtime\\1.0.0"; }
  std::wstring path(std::wstring_view relative) const { return home_ + std::wstring(relative); }

 private:
  static void removeTree(const std::wstring& dir) {
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring full = dir + L"\\" + name;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
          removeTree(full);
        } else {
          SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(full.c_str());
        }
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
  }
  std::wstring home_;
};

UniqueHandle openGuardHandle(const std::wstring& path) {
  return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

struct OpenGuard {
  UniqueHandle handle;
  std::wstring path;
  nuvra::FileIdentity identity;
  std::uint64_t index() const {
    return (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow;
  }
};

OpenGuard guardOf(const std::wstring& path) {
  OpenGuard guard{openGuardHandle(path), path, {}};
  EXPECT_TRUE(guard.handle) << nuvra::utf16ToUtf8(path);
  EXPECT_TRUE(nuvra::fileIdentity(guard.handle.get(), guard.identity));
  return guard;
}

// --- Handoff mapping -------------------------------------------------------

UniqueHandle handoffMapping(std::uint32_t lengthWord, std::string_view text,
                            DWORD size = nuvra::kHandoffMappingSize) {
  UniqueHandle mapping(
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, nullptr));
  EXPECT_TRUE(mapping);
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 0);
  EXPECT_NE(view, nullptr);
  auto* bytes = static_cast<unsigned char*>(view);
  std::memcpy(bytes, &lengthWord, 4);
  std::memcpy(bytes + 4, text.data(), std::min<std::size_t>(text.size(), size - 4));
  UnmapViewOfFile(view);
  return mapping;
}

UniqueHandle readOnly(HANDLE mapping) {
  HANDLE duplicate = nullptr;
  EXPECT_TRUE(DuplicateHandle(GetCurrentProcess(), mapping, GetCurrentProcess(), &duplicate,
                              FILE_MAP_READ, FALSE, 0));
  return UniqueHandle(duplicate);
}

TEST(HandoffMapping, AReadOnlyMappingYieldsTheTextOfTheLengthWord) {
  const UniqueHandle mapping = handoffMapping(7, "{\"a\":1}trailing");
  const UniqueHandle reader = readOnly(mapping.get());
  EXPECT_EQ(nuvra::readHandoffText(reader.get()), "{\"a\":1}");
}

TEST(HandoffMapping, LengthWordBoundsAre1To262140) {
  const std::string full(262140, 'x');
  const UniqueHandle longest = handoffMapping(262140, full);
  EXPECT_EQ(nuvra::readHandoffText(readOnly(longest.get()).get()).size(), 262140u);
  const UniqueHandle tooLong = handoffMapping(262141, full);
  EXPECT_EQ(reasonOf([&] { nuvra::readHandoffText(readOnly(tooLong.get()).get()); }),
            "profile_mapping");
  const UniqueHandle empty = handoffMapping(0, "");
  EXPECT_EQ(reasonOf([&] { nuvra::readHandoffText(readOnly(empty.get()).get()); }),
            "profile_mapping");
}

TEST(HandoffMapping, AMappingSmallerThanTheViewIsRefused) {
  const UniqueHandle small = handoffMapping(2, "{}", 4096);
  EXPECT_EQ(reasonOf([&] { nuvra::readHandoffText(readOnly(small.get()).get()); }),
            "profile_mapping");
}

TEST(HandoffMapping, AWritableHandleIsRefusedEvenWithValidText) {
  const UniqueHandle mapping = handoffMapping(2, "{}");
  EXPECT_EQ(reasonOf([&] { nuvra::readHandoffText(mapping.get()); }), "profile_mapping_writable");
}

TEST(HandoffVariable, LengthOutside1To31IsCustodyRequired) {
  SetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", nullptr);
  EXPECT_EQ(reasonOf([] { nuvra::handoffMappingFromEnvironment(); }), "profile_custody_required");
  SetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", L"");
  EXPECT_EQ(reasonOf([] { nuvra::handoffMappingFromEnvironment(); }), "profile_custody_required");
  SetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", std::wstring(32, L'1').c_str());
  EXPECT_EQ(reasonOf([] { nuvra::handoffMappingFromEnvironment(); }), "profile_custody_required");
  // 31 characters fit the buffer; as a number they are too long.
  SetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", std::wstring(31, L'1').c_str());
  EXPECT_EQ(reasonOf([] { nuvra::handoffMappingFromEnvironment(); }), "profile_integer");
  SetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", nullptr);
}

TEST(HandoffVariable, NamesAnInheritedHandleThatIsMadeNonInheritable) {
  const UniqueHandle mapping = handoffMapping(2, "{}");
  SetHandleInformation(mapping.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  const auto value = reinterpret_cast<std::uintptr_t>(mapping.get());
  SetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF",
                          nuvra::utf8ToUtf16(nuvra::formatDecimal64(value)).c_str());
  EXPECT_EQ(nuvra::handoffMappingFromEnvironment(), mapping.get());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(mapping.get(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  nuvra::removeHandoffVariable();
  EXPECT_EQ(GetEnvironmentVariableW(L"NUVRA_PROFILE_HANDOFF", nullptr, 0), 0u);
}

TEST(HandoffHandles, ValuesFrom2To63AreRefused) {
  EXPECT_EQ(reasonOf([] { nuvra::handleFromValue(0x8000000000000000ull); }), "profile_handle");
  EXPECT_EQ(nuvra::handleFromValue(0x7FFFFFFFFFFFFFFFull),
            reinterpret_cast<HANDLE>(0x7FFFFFFFFFFFFFFFull));
}

TEST(StartupAck, OnlyAPipeIsAnAcknowledgementHandle) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  const UniqueHandle reader(readEnd);
  const UniqueHandle writer(writeEnd);
  EXPECT_EQ(reasonOf([&] { nuvra::requirePipe(writer.get()); }), "");
  const UniqueHandle mapping = handoffMapping(2, "{}");
  EXPECT_EQ(reasonOf([&] { nuvra::requirePipe(mapping.get()); }), "profile_startup_ack");
}

// --- Serialisation mutex ---------------------------------------------------

TEST(HomeKey, IsTheSameForSpellingsThatDifferInCase) {
  EXPECT_EQ(nuvra::homeKey(L"C:\\Users\\Ana\\Nuvra"), nuvra::homeKey(L"c:\\users\\ana\\NUVRA"));
  EXPECT_NE(nuvra::homeKey(L"C:\\Users\\Ana\\Nuvra"), nuvra::homeKey(L"C:\\Users\\Ana\\Nuvra2"));
  EXPECT_EQ(nuvra::homeKey(L"C:\\Home"), nuvra::sha256Hex("c:\\home"));
  EXPECT_EQ(
      nuvra::serializationMutexName(L"C:\\Home"),
      L"Global\\Nuvra.RuntimeSerialization.V1." + nuvra::utf8ToUtf16(nuvra::sha256Hex("c:\\home")));
}

TEST(SerializationMutexProof, TheNamedMutexThroughAnyHandlePasses) {
  const std::wstring home = L"C:\\ProofHome-" + std::to_wstring(GetCurrentProcessId());
  const UniqueHandle named(
      CreateMutexW(nullptr, FALSE, nuvra::serializationMutexName(home).c_str()));
  ASSERT_TRUE(named);
  EXPECT_EQ(reasonOf([&] { nuvra::proveSerializationMutex(named.get(), home); }), "");
  // Another spelling of the same home names the same mutex.
  std::wstring upper = home;
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(reasonOf([&] { nuvra::proveSerializationMutex(named.get(), upper); }), "");
}

TEST(SerializationMutexProof, AnotherMutexIsNotTheOwnerObject) {
  const std::wstring home = L"C:\\ProofHome2-" + std::to_wstring(GetCurrentProcessId());
  const UniqueHandle named(
      CreateMutexW(nullptr, FALSE, nuvra::serializationMutexName(home).c_str()));
  const UniqueHandle other(CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_EQ(reasonOf([&] { nuvra::proveSerializationMutex(other.get(), home); }),
            "profile_owner_object");
}

TEST(SerializationMutexProof, NoMutexOfThatNameIsOwnerAbsent) {
  const UniqueHandle other(CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_EQ(
      reasonOf([&] { nuvra::proveSerializationMutex(other.get(), L"C:\\NoSuchHome\\Anywhere"); }),
      "profile_owner_absent");
}

// --- Guards ----------------------------------------------------------------

class GuardsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sddl_ = ownerOnlySddl();
    ASSERT_TRUE(nuvra::testing::writeFile(home_.path(L"\\state\\runtime\\lifetime.v1"), "", sddl_));
    ASSERT_TRUE(nuvra::testing::writeFile(home_.path(L"\\state\\runtime\\work.v1"), "", sddl_));
    ASSERT_TRUE(nuvra::testing::writeFile(target(), "MZ native", sddl_));
    lifetime_ = guardOf(home_.path(L"\\state\\runtime\\lifetime.v1"));
    work_ = guardOf(home_.path(L"\\state\\runtime\\work.v1"));
  }

  std::wstring target() const { return nuvra::nativeTargetPath(home_.root()); }

  nuvra::GuardValidation validation() {
    return nuvra::GuardValidation(home_.home(), lifetime_.handle.get(), work_.handle.get(),
                                  lifetime_.identity.text(), work_.identity.text());
  }

  static void add(nuvra::GuardValidation& v, const OpenGuard& g) {
    v.add(g.handle.get(), nuvra::utf16ToUtf8(g.path), g.identity.volumeSerial, g.index());
  }

  // In the release flavour no file under Wine can pass the owner-only check.
  static std::string markerOutcome() { return isTestbed() ? "" : "profile_security"; }

  ScratchHome home_;
  std::wstring sddl_;
  OpenGuard lifetime_;
  OpenGuard work_;
};

TEST_F(GuardsTest, MarkersAndFilesAreValidatedAndTheWorkMarkerLeftOutOfTheList) {
  const OpenGuard root = guardOf(home_.root());
  const OpenGuard native = guardOf(target());
  auto v = validation();
  const std::string outcome = reasonOf([&] {
    add(v, root);
    add(v, lifetime_);
    add(v, work_);
    add(v, native);
    v.finish();
  });
  ASSERT_EQ(outcome, markerOutcome());
  if (!isTestbed()) return;
  ASSERT_EQ(v.guards().size(), 3u);
  EXPECT_EQ(v.guards()[0].handle, root.handle.get());
  EXPECT_EQ(v.guards()[1].handle, lifetime_.handle.get());
  EXPECT_EQ(v.guards()[2].handle, native.handle.get());
  EXPECT_EQ(v.handles().size(), 4u);
  EXPECT_EQ(v.workMarkerVolume(), work_.identity.volumeSerial);
  EXPECT_EQ(v.workMarkerIndex(), work_.index());
  std::string expected;
  for (const OpenGuard* g :
       std::initializer_list<const OpenGuard*>{&root, &lifetime_, &work_, &native}) {
    nuvra::startup::appendGuardPath(expected, nuvra::utf16ToUtf8(g->path));
  }
  EXPECT_EQ(v.pathArrayBody(), expected);
}

TEST_F(GuardsTest, TwoPathsDifferingOnlyInCaseAreDuplicates) {
  const OpenGuard first = guardOf(target());
  OpenGuard second = guardOf(target());
  CharUpperBuffW(second.path.data(), static_cast<DWORD>(second.path.size()));
  auto v = validation();
  add(v, first);
  EXPECT_EQ(reasonOf([&] { add(v, second); }), "profile_guard_duplicate");
}

TEST_F(GuardsTest, AGuardThatIsNotTheNamedFileIsRefused) {
  const OpenGuard native = guardOf(target());
  auto v = validation();
  EXPECT_EQ(reasonOf([&] {
              v.add(native.handle.get(), nuvra::utf16ToUtf8(native.path),
                    native.identity.volumeSerial, native.index() + 1);
            }),
            "profile_guard");
  EXPECT_EQ(reasonOf([&] {
              v.add(native.handle.get(), nuvra::utf16ToUtf8(native.path),
                    native.identity.volumeSerial + 1, native.index());
            }),
            "profile_guard");
  EXPECT_EQ(reasonOf([&] {
              v.add(native.handle.get(), nuvra::utf16ToUtf8(home_.root() + L"\\other.exe"),
                    native.identity.volumeSerial, native.index());
            }),
            "profile_guard");
  const UniqueHandle mutex(CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_EQ(reasonOf([&] { v.add(mutex.get(), "C:\\x", 0, 1); }), "profile_guard");
}

TEST_F(GuardsTest, AFileWithASecondHardLinkIsRefusedButADirectoryIsNot) {
  ASSERT_TRUE(
      CreateHardLinkW(home_.path(L"\\runtime\\alias.exe").c_str(), target().c_str(), nullptr));
  const OpenGuard native = guardOf(target());
  const OpenGuard directory = guardOf(home_.root());
  auto v = validation();
  EXPECT_EQ(reasonOf([&] { add(v, directory); }), "");
  EXPECT_EQ(reasonOf([&] { add(v, native); }), "profile_guard_links");
}

TEST_F(GuardsTest, AOneByteWorkMarkerIsRefused) {
  work_ = OpenGuard{};
  ASSERT_TRUE(nuvra::testing::writeFile(home_.path(L"\\state\\runtime\\work.v1"), "x", sddl_));
  work_ = guardOf(home_.path(L"\\state\\runtime\\work.v1"));
  auto v = validation();
  EXPECT_EQ(reasonOf([&] { add(v, work_); }), "profile_marker");
}

TEST_F(GuardsTest, AMarkerWhoseIdentityDiffersFromTheRecordIsRefused) {
  auto v = nuvra::GuardValidation(home_.home(), lifetime_.handle.get(), work_.handle.get(),
                                  work_.identity.text(), work_.identity.text());
  EXPECT_EQ(reasonOf([&] { add(v, lifetime_); }), "profile_marker");
}

TEST_F(GuardsTest, AMarkerAtAnotherPathIsRefused) {
  const OpenGuard native = guardOf(target());
  auto v = nuvra::GuardValidation(home_.home(), native.handle.get(), work_.handle.get(),
                                  native.identity.text(), work_.identity.text());
  EXPECT_EQ(reasonOf([&] { add(v, native); }), "profile_marker");
}

TEST_F(GuardsTest, OneHandleAsBothMarkersIsRefused) {
  auto v = nuvra::GuardValidation(home_.home(), lifetime_.handle.get(), lifetime_.handle.get(),
                                  lifetime_.identity.text(), lifetime_.identity.text());
  const std::string outcome = reasonOf([&] {
    add(v, lifetime_);
    v.finish();
  });
  EXPECT_EQ(outcome, isTestbed() ? "profile_markers" : "profile_security");
}

TEST_F(GuardsTest, AMissingMarkerIsRefused) {
  const OpenGuard native = guardOf(target());
  auto v = validation();
  add(v, native);
  EXPECT_EQ(reasonOf([&] { v.finish(); }), "profile_markers");
}

// --- Native target check ---------------------------------------------------

class NativeTargetTest : public GuardsTest {
 protected:
  void SetUp() override {
    GuardsTest::SetUp();
    texts_ = {R"({"state":"COMMITTED"})", R"({"version":"1.0.0","digest":"d"})",
              R"({"payload":{}})"};
    ASSERT_TRUE(nuvra::testing::writeFile(home_.path(L"\\state\\runtime\\servicing.json"),
                                          texts_.servicing, sddl_));
    ASSERT_TRUE(
        nuvra::testing::writeFile(home_.path(L"\\runtime\\current"), texts_.current, sddl_));
    ASSERT_TRUE(nuvra::testing::writeFile(home_.path(L"\\state\\runtime\\admission.json"),
                                          texts_.admission, sddl_));
    root_ = guardOf(home_.root());
    native_ = guardOf(target());
  }

  nuvra::NativeTargetSnapshot snapshot(bool withTarget = true) const {
    nuvra::NativeTargetSnapshot s{home_.home(), home_.root(), {}, texts_, "1", "d", ""};
    for (const OpenGuard* g : {&root_, &lifetime_, &native_}) {
      if (g == &native_ && !withTarget) continue;
      s.guards.push_back({g->handle.get(), g->path, g->identity.volumeSerial, g->index()});
    }
    return s;
  }

  std::string check(const nuvra::NativeTargetSnapshot& s, const std::wstring& path) {
    ownerChecks_ = 0;
    return reasonOf([&] { nuvra::checkNativeTarget(s, path, [this] { ++ownerChecks_; }); });
  }

  nuvra::SelectionTexts texts_;
  OpenGuard root_;
  OpenGuard native_;
  int ownerChecks_ = 0;
};

TEST_F(NativeTargetTest, PassesWhileGuardsAndRecordsAreUnchanged) {
  EXPECT_EQ(check(snapshot(), target()), isTestbed() ? "" : "profile_security");
  if (isTestbed()) {
    EXPECT_EQ(ownerChecks_, 3 + 3);  // before each guard and each record
  }
}

TEST_F(NativeTargetTest, TheTargetPathMayDifferOnlyInCase) {
  std::wstring upper = target();
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(check(snapshot(), upper), isTestbed() ? "" : "profile_security");
  EXPECT_EQ(check(snapshot(), home_.root() + L"\\connector\\other.exe"), "profile_native_target");
  EXPECT_EQ(ownerChecks_, 0);
}

TEST_F(NativeTargetTest, AnUnguardedTargetIsRefused) {
  EXPECT_EQ(check(snapshot(false), target()), "profile_native_target");
}

TEST_F(NativeTargetTest, AnInheritableGuardIsNoLongerAGuard) {
  SetHandleInformation(native_.handle.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  EXPECT_EQ(check(snapshot(), target()), "profile_guard");
}

TEST_F(NativeTargetTest, TheSameContentInAnotherKeyOrderIsFenced) {
  if (!isTestbed()) GTEST_SKIP() << "the servicing record cannot pass the owner-only check";
  ASSERT_TRUE(nuvra::testing::writeFile(home_.path(L"\\runtime\\current"),
                                        R"({"digest":"d","version":"1.0.0"})", sddl_));
  EXPECT_EQ(check(snapshot(), target()), "profile_work_fenced");
}

TEST_F(NativeTargetTest, AnOwnerCheckFailureStopsTheCheck) {
  int calls = 0;
  const std::string reason = reasonOf([&] {
    nuvra::checkNativeTarget(snapshot(), target(), [&] {
      if (++calls == 2) nuvra::fail("profile_work_ended");
    });
  });
  EXPECT_EQ(reason, "profile_work_ended");
  EXPECT_EQ(calls, 2);
}

// finishStartup's drop of the work marker. Whether the close succeeds or
// fails, the value leaves the profile and the kept list, so a retry never
// closes it again (by then it may name another object); a failed close
// poisons. A closed handle's value stands in for one that will not close.
TEST(WorkMarkerDrop, GivesTheValueUpOnceAndPoisonsOnAFailedClose) {
  struct Case {
    const char* name;
    bool closes;
    const char* reason;
    bool poisons;
  };
  const Case cases[] = {
      {"a marker that closes", true, "", false},
      {"a marker that will not close", false, "profile_close_failed", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nuvra::processState().poisoned.store(false);
    UniqueHandle other(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE value = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(value, nullptr);
    if (!c.closes) {
      ASSERT_TRUE(CloseHandle(value));
    }
    nuvra::StartupProfile profile;
    profile.keptHandles.emplace_back(value);
    profile.keptHandles.emplace_back(other.get());
    profile.workMarker = value;

    EXPECT_EQ(reasonOf([&] { nuvra::closeWorkMarker(profile); }), c.reason);
    EXPECT_EQ(nuvra::isPoisoned(), c.poisons);
    EXPECT_EQ(profile.workMarker, nullptr);
    ASSERT_EQ(profile.keptHandles.size(), 1u);
    EXPECT_EQ(profile.keptHandles[0].get(), other.get());
    if (c.closes) {
      DWORD flags = 0;
      EXPECT_FALSE(GetHandleInformation(value, &flags));
    }
    // A retry has nothing left to close.
    EXPECT_EQ(reasonOf([&] { nuvra::closeWorkMarker(profile); }), "");
    static_cast<void>(profile.keptHandles[0].release());
  }
  nuvra::processState().poisoned.store(false);
}

}  // namespace
