#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/file_win.h"
#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "test_support_win.h"
#include "work/work_win.h"

namespace nuvra {
namespace {

using testing::reasonOf;
using testing::ScratchDirectory;
using testing::writeFile;

bool releaseFlavour() {
  return std::string(policy::flavourName()) == "release";
}

std::wstring ownerOnly() {
  const std::wstring sid = currentUserSid();
  return L"O:" + sid + L"D:P(A;;FA;;;" + sid + L")";
}

// The facts the open job would copy from the profile for the file at `path`.
WorkMarkerFacts factsOf(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  FileIdentity identity;
  EXPECT_TRUE(fileIdentity(file.get(), identity));
  return WorkMarkerFacts{
      path, identity.volumeSerial,
      (static_cast<std::uint64_t>(identity.indexHigh) << 32) | identity.indexLow};
}

class WorkMarker : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = scratch_.file(L"work.v1");
    ASSERT_TRUE(writeFile(path_, "", ownerOnly()));
    facts_ = factsOf(path_);
  }
  // The reason opening fails with, or "" when it succeeds.
  std::string openReason(const WorkMarkerFacts& facts) {
    return reasonOf([&] { openWorkMarker(facts); });
  }

  ScratchDirectory scratch_;
  std::wstring path_;
  WorkMarkerFacts facts_;
};

TEST_F(WorkMarker, TheMarkerRecordedAtStartupOpensWithoutInheritance) {
  if (releaseFlavour()) {
    // Wine cannot store the owner-only descriptor the strict check wants.
    EXPECT_EQ(openReason(facts_), "profile_security");
    return;
  }
  UniqueHandle marker = openWorkMarker(facts_);
  ASSERT_TRUE(marker);
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(marker.get(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  // Other openers may read it, but nobody may write it while a work holds it.
  UniqueHandle writer(CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer);
}

TEST_F(WorkMarker, ASpellingInOtherLetterCaseStillOpens) {
  if (releaseFlavour()) GTEST_SKIP() << "needs the owner-only check to pass";
  WorkMarkerFacts upper = facts_;
  upper.path = scratch_.file(L"WORK.V1");
  EXPECT_EQ(openReason(upper), "");
}

TEST_F(WorkMarker, ANewEmptyFileOfTheSameNameIsRefused) {
  if (releaseFlavour()) GTEST_SKIP() << "needs the owner-only check to pass";
  ASSERT_TRUE(MoveFileW(path_.c_str(), scratch_.file(L"work.v1.kept").c_str()));
  ASSERT_TRUE(writeFile(path_, "", ownerOnly()));
  EXPECT_EQ(openReason(facts_), "profile_work_identity");
}

TEST_F(WorkMarker, AMarkerWithContentOrASecondLinkIsRefused) {
  if (releaseFlavour()) GTEST_SKIP() << "needs the owner-only check to pass";
  ASSERT_TRUE(CreateHardLinkW(scratch_.file(L"second").c_str(), path_.c_str(), nullptr));
  EXPECT_EQ(openReason(facts_), "profile_work_identity");
  ASSERT_TRUE(DeleteFileW(scratch_.file(L"second").c_str()));
  EXPECT_EQ(openReason(facts_), "");
  {
    UniqueHandle file(
        CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), "x", 1, &written, nullptr));
  }
  EXPECT_EQ(openReason(facts_), "profile_work_identity");
}

TEST_F(WorkMarker, AMissingMarkerCannotBeOpened) {
  WorkMarkerFacts missing = facts_;
  missing.path = scratch_.file(L"absent.v1");
  EXPECT_EQ(openReason(missing), "profile_work_open");
}

TEST_F(WorkMarker, AWorkOpenIsRefusedForAnEndedWork) {
  Work work(1, WorkTiming{GetTickCount64(), GetTickCount64() + 900, false},
            WorkPurpose{"unbound_local", ""});
  work.active.store(false);
  EXPECT_EQ(reasonOf([&] { openWork(work); }), "profile_work_ended");
}

TEST(LiveWorks, EveryConstructedWorkCountsUntilDestroyed) {
  const std::size_t before = liveWorkCount().current();
  {
    Work work(1, WorkTiming{1, 2, false}, WorkPurpose{"client", "recall"});
    EXPECT_EQ(liveWorkCount().current(), before + 1);
    EXPECT_EQ(work.exchange.last_verified_phase, "never_sent");
    EXPECT_EQ(work.server.server_phase, "received");
    EXPECT_EQ(work.server.logging_status, "unknown");
  }
  EXPECT_EQ(liveWorkCount().current(), before);
}

}  // namespace
}  // namespace nuvra
