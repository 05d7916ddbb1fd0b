#include "work/work_record_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/process_state.h"
#include "common/text.h"
#include "custody/profile_win.h"
#include "test_support_win.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

using testing::reasonOf;
using testing::ScratchDirectory;
using testing::writeFile;

std::uint64_t valueOf(HANDLE handle) {
  return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

UniqueHandle openForGuard(const std::wstring& path) {
  return UniqueHandle(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
}

bool sameFile(HANDLE a, HANDLE b) {
  FileIdentity first;
  FileIdentity second;
  return fileIdentity(a, first) && fileIdentity(b, second) && first.sameFile(second);
}

// Fills the process's startup profile for one case and puts the previous
// one back afterwards, so no other test sees it.
class ProfileWorkRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writeFile(scratch_.file(L"lifetime.v1"), ""));
    ASSERT_TRUE(writeFile(scratch_.file(L"node.exe"), "MZ"));
    ASSERT_TRUE(writeFile(scratch_.file(L"work.v1"), ""));
    lifetime_ = openForGuard(scratch_.file(L"lifetime.v1"));
    node_ = openForGuard(scratch_.file(L"node.exe"));
    workRecord_ = openForGuard(scratch_.file(L"work.v1"));
    mutex_ = UniqueHandle(CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_TRUE(lifetime_ && node_ && workRecord_ && mutex_);
    std::lock_guard<std::mutex> lock(processState().processLock);
    StartupProfile& profile = startupProfile();
    saved_ = std::move(profile);
    profile = StartupProfile{};
    profile.initialized = true;
    profile.home = scratch_.path();
    profile.root = scratch_.path() + L"\\runtime\\1.0.0";
    profile.ownerSidHash = "o";
    profile.payloadDigest = "p";
    profile.generation = "7";
    profile.serialization = mutex_.get();
    profile.lifetimeMarker = lifetime_.get();
    profile.workMarkerVolume = 11;
    profile.workMarkerIndex = 12;
    profile.guards.push_back(GuardEntry{lifetime_.get(), scratch_.file(L"lifetime.v1"), 1, 2});
    profile.guards.push_back(GuardEntry{node_.get(), scratch_.file(L"node.exe"), 3, 4});
  }
  void TearDown() override {
    std::lock_guard<std::mutex> lock(processState().processLock);
    startupProfile() = std::move(saved_);
  }
  std::string build(InheritList& inherit) {
    std::lock_guard<std::mutex> lock(processState().processLock);
    return buildProfileWorkRecord(work_, workRecord_.get(), inherit);
  }

  ScratchDirectory scratch_;
  UniqueHandle lifetime_, node_, workRecord_, mutex_;
  StartupProfile saved_;
  Work work_{1, WorkTiming{100, 1100, false}, WorkPurpose{"client", "recall"}};
};

// The duplicates are not inheritable yet: the launch makes them so only
// around its CreateProcessW.
TEST_F(ProfileWorkRecord, NamesNonInheritableDuplicatesOfEveryCustodyHandle) {
  InheritList inherit;
  const std::string record = build(inherit);
  // Two guards, the work marker, the mutex and this process.
  const std::vector<HANDLE>& copies = inherit.values();
  ASSERT_EQ(copies.size(), 5u);
  for (HANDLE handle : copies) {
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(handle, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  }
  EXPECT_TRUE(sameFile(copies[0], lifetime_.get()));
  EXPECT_TRUE(sameFile(copies[1], node_.get()));
  EXPECT_TRUE(sameFile(copies[2], workRecord_.get()));
  EXPECT_EQ(GetProcessId(copies[4]), GetCurrentProcessId());
  // The originals stay as they were: nothing else became inheritable.
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(lifetime_.get(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

  const std::string l = formatDecimal64(valueOf(copies[0]));
  const std::string n = formatDecimal64(valueOf(copies[1]));
  const std::string r = formatDecimal64(valueOf(copies[2]));
  const std::string s = formatDecimal64(valueOf(copies[3]));
  const std::string parent = formatDecimal64(valueOf(copies[4]));
  const std::string home =
      jsonString(std::string(scratch_.path().begin(), scratch_.path().end()));  // ASCII temp path
  const std::string homeInner = home.substr(1, home.size() - 2);
  EXPECT_EQ(record,
            "{\"schema_version\":\"nuvra.profile-work.v1\",\"home\":" + home + ",\"root\":\"" +
                homeInner +
                "\\\\runtime\\\\1.0.0\",\"owner_sid_hash\":\"o\","
                "\"payload_digest\":\"p\",\"generation\":\"7\",\"deadline_tick64\":\"1100\","
                "\"budget_class\":\"warm\",\"s\":\"" +
                s + "\",\"l\":\"" + l + "\",\"r\":\"" + r + "\",\"parent\":\"" + parent +
                "\",\"parent_pid\":" + formatDecimal32(GetCurrentProcessId()) +
                ",\"guards\":[{\"handle\":\"" + l + "\",\"path\":\"" + homeInner +
                "\\\\lifetime.v1\",\"volume\":1,\"file_id\":\"2\"},"
                "{\"handle\":\"" +
                n + "\",\"path\":\"" + homeInner +
                "\\\\node.exe\",\"volume\":3,\"file_id\":\"4\"},{\"handle\":\"" + r +
                "\",\"path\":\"" + homeInner +
                "\\\\state\\\\runtime\\\\work.v1\",\"volume\":11,"
                "\"file_id\":\"12\"}]}");
}

TEST_F(ProfileWorkRecord, RefusesAProfileWithoutALifetimeMarker) {
  {
    std::lock_guard<std::mutex> lock(processState().processLock);
    startupProfile().lifetimeMarker = nullptr;
  }
  InheritList inherit;
  EXPECT_EQ(reasonOf([&] { build(inherit); }), "profile_lifetime_missing");
}

}  // namespace
}  // namespace nuvra
