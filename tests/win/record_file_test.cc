#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "common/record_file_win.h"
#include "test_support_win.h"

namespace nuvra {
namespace {

using testing::reasonOf;
using testing::ScratchDirectory;
using testing::writeFile;

class RecordFile : public ::testing::Test {
 protected:
  // Created as the product creates its records: owned by and granted only to the user.
  std::wstring ownerOnly(std::wstring_view name, std::string_view bytes) {
    const std::wstring path = scratch_.file(name);
    const std::wstring user = currentUserSid();
    EXPECT_TRUE(writeFile(path, bytes, L"O:" + user + L"D:P(A;;GA;;;" + user + L")"));
    return path;
  }
  std::wstring plain(std::wstring_view name, std::string_view bytes) {
    const std::wstring path = scratch_.file(name);
    EXPECT_TRUE(writeFile(path, bytes));
    return path;
  }
  ScratchDirectory scratch_;
};

TEST_F(RecordFile, ReturnsTheBytesUnchanged) {
  const std::string text = std::string("\xef\xbb\xbf{\"a\":1}\r\n \0x", 15);
  const std::wstring path = plain(L"record.json", text);
  EXPECT_EQ(readRecordFile(path, false), text);
}

TEST_F(RecordFile, AnEmptyFileIsRefused) {
  const std::wstring path = plain(L"empty.json", "");
  EXPECT_EQ(reasonOf([&] { readRecordFile(path, false); }), "profile_record");
}

TEST_F(RecordFile, TheSizeLimitIsInclusive) {
  const std::string largest(262144, 'x');
  const std::wstring fits = plain(L"largest.json", largest);
  EXPECT_EQ(readRecordFile(fits, false), largest);
  const std::wstring over = plain(L"over.json", largest + "y");
  EXPECT_EQ(reasonOf([&] { readRecordFile(over, false); }), "profile_record");
}

TEST_F(RecordFile, AMissingFileCannotBeOpened) {
  EXPECT_EQ(reasonOf([&] { readRecordFile(scratch_.file(L"absent.json"), false); }),
            "profile_record_open");
}

TEST_F(RecordFile, ADirectoryIsNotARecord) {
  const std::wstring path = scratch_.file(L"directory.json");
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
  const std::string reason = reasonOf([&] { readRecordFile(path, false); });
  EXPECT_TRUE(reason == "profile_record_open" || reason == "profile_record") << reason;
}

TEST_F(RecordFile, ASecondHardLinkIsRefused) {
  const std::wstring path = plain(L"linked.json", "{}");
  EXPECT_EQ(readRecordFile(path, false), "{}");
  ASSERT_TRUE(CreateHardLinkW(scratch_.file(L"second.json").c_str(), path.c_str(), nullptr));
  EXPECT_EQ(reasonOf([&] { readRecordFile(path, false); }), "profile_record");
}

TEST_F(RecordFile, AnotherLetterCaseOfThePathIsTheSameRecord) {
  const std::wstring path = plain(L"MixedCase.json", "{}");
  std::wstring upper = path;
  for (auto& unit : upper) unit = static_cast<wchar_t>(towupper(unit));
  ASSERT_NE(upper, path);
  EXPECT_EQ(readRecordFile(upper, false), "{}");
}

TEST_F(RecordFile, APathThatIsNotTheFinalPathIsRefused) {
  const std::wstring path = plain(L"relative.json", "{}");
  // Opened relative to the current directory: the file is found, but its
  // final path is not the text that was asked for.
  wchar_t previous[MAX_PATH + 1] = {};
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH + 1, previous), 0u);
  ASSERT_TRUE(SetCurrentDirectoryW(scratch_.path().c_str()));
  const std::string reason = reasonOf([] { readRecordFile(L"relative.json", false); });
  SetCurrentDirectoryW(previous);
  EXPECT_EQ(reason, "profile_record");
  // The same through a "." component.
  const std::wstring dotted = scratch_.path() + L"\\.\\relative.json";
  EXPECT_EQ(reasonOf([&] { readRecordFile(dotted, false); }), "profile_record");
}

// Windows opens through a directory link and the final path gives it away
// ("profile_record"); Wine already refuses the open ("profile_record_open").
// Either way the record is not read.
bool isRefusal(const std::string& reason) {
  return reason == "profile_record" || reason == "profile_record_open";
}

TEST_F(RecordFile, APathThroughALinkedDirectoryIsRefused) {
  const std::wstring target = scratch_.file(L"target");
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  ASSERT_TRUE(writeFile(target + L"\\record.json", "{}"));
  const std::wstring link = scratch_.file(L"link");
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
    GTEST_SKIP() << "directory links cannot be made here";
  }
  const std::string reason = reasonOf([&] { readRecordFile(link + L"\\record.json", false); });
  EXPECT_TRUE(isRefusal(reason)) << reason;
  EXPECT_EQ(readRecordFile(target + L"\\record.json", false), "{}");
  RemoveDirectoryW(link.c_str());
  DeleteFileW((target + L"\\record.json").c_str());
}

TEST_F(RecordFile, ARecordThatIsItselfALinkIsRefused) {
  const std::wstring target = plain(L"target.json", "{}");
  const std::wstring link = scratch_.file(L"link.json");
  if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), 0)) {
    GTEST_SKIP() << "file links cannot be made here";
  }
  const std::string reason = reasonOf([&] { readRecordFile(link, false); });
  EXPECT_TRUE(isRefusal(reason)) << reason;
}

TEST_F(RecordFile, AFileHeldOpenForWritingCannotBeOpened) {
  const std::wstring path = plain(L"busy.json", "{}");
  UniqueHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_EQ(reasonOf([&] { readRecordFile(path, false); }), "profile_record_open");
  writer.closeOrFail();
  EXPECT_EQ(readRecordFile(path, false), "{}");
}

TEST_F(RecordFile, ReadingLeavesNothingOpen) {
  const std::wstring path = plain(L"closed.json", "{}");
  EXPECT_EQ(readRecordFile(path, false), "{}");
  // An exclusive open succeeds only when no handle of ours is left.
  UniqueHandle exclusive(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(exclusive);
  exclusive.closeOrFail();
  // A refused read closes its handle too.
  ASSERT_TRUE(CreateHardLinkW(scratch_.file(L"closed2.json").c_str(), path.c_str(), nullptr));
  EXPECT_EQ(reasonOf([&] { readRecordFile(path, false); }), "profile_record");
  UniqueHandle again(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(again);
}

TEST_F(RecordFile, TheOwnerOnlyFlagFollowsTheFlavour) {
  const std::wstring path = ownerOnly(L"owner-only.json", "{\"k\":1}");
  if (std::string(policy::flavourName()) == "testbed") {
    EXPECT_EQ(readRecordFile(path, true), "{\"k\":1}");
  } else {
    // Wine cannot show a protected single-ACE file, so the strict check refuses.
    EXPECT_EQ(reasonOf([&] { readRecordFile(path, true); }), "profile_security");
  }
  EXPECT_EQ(readRecordFile(path, false), "{\"k\":1}");
}

TEST_F(RecordFile, AWorldReadableRecordFailsTheOwnerOnlyCheck) {
  const std::wstring user = currentUserSid();
  const std::wstring path = scratch_.file(L"world.json");
  ASSERT_TRUE(writeFile(path, "{}", L"O:" + user + L"D:P(A;;GA;;;" + user + L")(A;;GR;;;WD)"));
  EXPECT_EQ(reasonOf([&] { readRecordFile(path, true); }), "profile_security");
  EXPECT_EQ(readRecordFile(path, false), "{}");
}

}  // namespace
}  // namespace nuvra
