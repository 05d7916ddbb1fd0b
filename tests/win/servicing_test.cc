#include "custody/servicing_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/identity_win.h"
#include "common/policy.h"
#include "common/security_win.h"
#include "common/text_win.h"
#include "custody/servicing.h"
#include "test_support_win.h"

namespace {

using nuvra::testing::reasonOf;

constexpr std::string_view kCommitted =
    "{\"schema_version\":\"nuvra.runtime-servicing.v1\",\"state\":\"COMMITTED\","
    "\"installation_root\":\"C:\\\\home\",\"owner_sid_hash\":\"x\",\"digest\":\"d\","
    "\"generation\":\"7\",\"version\":\"1.2.3\",\"lifetime_identity\":\"a\","
    "\"work_identity\":\"b\"}\n";

bool releaseFlavour() {
  return std::string(nuvra::policy::flavourName()) == "release";
}

// Reads a file without any of the record reader's checks.
std::string plainRead(const std::wstring& path) {
  nuvra::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return "<absent>";
  std::string text;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  return text;
}

// Names in a directory, without "." and "..".
std::vector<std::wstring> listNames(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

void removeTree(const std::wstring& path) {
  for (const std::wstring& name : listNames(path)) {
    const std::wstring full = path + L"\\" + name;
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      removeTree(full);
    } else {
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(full.c_str());
    }
  }
  RemoveDirectoryW(path.c_str());
}

// A product home on C: with "\state\runtime", created owner-only as the
// product creates it.
class ServicingHome : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    std::wstring root(base, length);
    if (!root.empty() && root.back() != L'\\') root.push_back(L'\\');
    static unsigned counter = 0;
    home_ = root + L"nuvra-servicing-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    sid_ = nuvra::currentUserSid();
    for (const std::wstring& directory : {home_, home_ + L"\\state", runtimeDirectory()}) {
      nuvra::OwnerOnlySecurity security(sid_, true, "test_security");
      ASSERT_TRUE(CreateDirectoryW(directory.c_str(), security.attributes()));
    }
  }
  void TearDown() override { removeTree(home_); }

  std::wstring runtimeDirectory() const { return home_ + L"\\state\\runtime"; }
  std::wstring recordPath() const { return nuvra::servicing::recordPath(home_); }
  std::string homeUtf8() const { return nuvra::utf16ToUtf8(home_); }
  std::wstring ownerOnlySddl() const { return nuvra::ownerOnlySddl(sid_, false); }
  bool writeRecord(std::string_view text) {
    return nuvra::testing::writeFile(recordPath(), text, ownerOnlySddl());
  }
  std::vector<std::wstring> temporaryFiles() const {
    std::vector<std::wstring> found;
    for (const std::wstring& name : listNames(runtimeDirectory())) {
      if (name != L"servicing.json") found.push_back(name);
    }
    return found;
  }

  // Wine cannot show a strictly owner-only file, so the release flavour
  // refuses at the first read and leaves the record as it was.
  void expectStrictRuleRefuses() {
    ASSERT_TRUE(writeRecord(kCommitted));
    EXPECT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "profile_security");
    EXPECT_EQ(plainRead(recordPath()), kCommitted);
    EXPECT_TRUE(temporaryFiles().empty());
  }

  std::wstring home_;
  std::wstring sid_;
};

TEST_F(ServicingHome, RecoveryReplacesTheRecordKeepingThePreviousTextWhole) {
  if (releaseFlavour()) return expectStrictRuleRefuses();
  ASSERT_TRUE(writeRecord(kCommitted));
  ASSERT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "");
  EXPECT_EQ(plainRead(recordPath()),
            nuvra::servicing::recoveryRecordText(homeUtf8(), nuvra::ownerSidHash(), kCommitted));
  EXPECT_NE(plainRead(recordPath()).find("\"state\":\"RECOVERY_REQUIRED\""), std::string::npos);
  // The temporary file became the record; nothing is left beside it.
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(ServicingHome, TheRecoveryRecordIsOwnerOnlyAndReadableAsARecord) {
  if (releaseFlavour()) return expectStrictRuleRefuses();
  ASSERT_TRUE(writeRecord(kCommitted));
  ASSERT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "");
  nuvra::UniqueHandle file(CreateFileW(recordPath().c_str(), GENERIC_READ | READ_CONTROL,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  EXPECT_EQ(reasonOf([&] { nuvra::checkOwnerOnly(file.get(), nuvra::OwnedObject::file); }), "");
}

TEST_F(ServicingHome, ASecondRecoveryWrapsTheFirstRecoveryRecord) {
  if (releaseFlavour()) return expectStrictRuleRefuses();
  ASSERT_TRUE(writeRecord(kCommitted));
  ASSERT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "");
  const std::string first = plainRead(recordPath());
  ASSERT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "");
  const std::string hash = nuvra::ownerSidHash();
  EXPECT_EQ(plainRead(recordPath()), nuvra::servicing::recoveryRecordText(homeUtf8(), hash, first));
  EXPECT_EQ(first, nuvra::servicing::recoveryRecordText(homeUtf8(), hash, kCommitted));
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(ServicingHome, AMissingRecordFailsWithTheRecordReasonAndWritesNothing) {
  EXPECT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "profile_record_open");
  EXPECT_TRUE(listNames(runtimeDirectory()).empty());
}

TEST_F(ServicingHome, ARecordWithASecondHardLinkIsRefusedAndLeftUntouched) {
  ASSERT_TRUE(writeRecord(kCommitted));
  const std::wstring second = home_ + L"\\second-name.json";
  ASSERT_TRUE(CreateHardLinkW(second.c_str(), recordPath().c_str(), nullptr));
  EXPECT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }),
            releaseFlavour() ? "profile_security" : "profile_record");
  EXPECT_EQ(plainRead(recordPath()), kCommitted);
  EXPECT_EQ(plainRead(second), kCommitted);
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(ServicingHome, AWorldReadableRecordIsRefusedInEitherFlavour) {
  // Created without a descriptor, the file gets the default mode, which Wine
  // shows with an extra Everyone entry.
  ASSERT_TRUE(nuvra::testing::writeFile(recordPath(), kCommitted));
  EXPECT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "profile_security");
  EXPECT_EQ(plainRead(recordPath()), kCommitted);
  EXPECT_TRUE(temporaryFiles().empty());
}

TEST_F(ServicingHome, ARecordHeldOpenAgainstReplacementLeavesItAndTheTemporaryFile) {
  if (releaseFlavour()) return expectStrictRuleRefuses();
  ASSERT_TRUE(writeRecord(kCommitted));
  // A reader that does not share delete access blocks the replacing move,
  // while the recovery's own read (read sharing) still gets through.
  nuvra::UniqueHandle reader(CreateFileW(recordPath().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "profile_recovery_replace");
  reader.closeQuietly();
  EXPECT_EQ(plainRead(recordPath()), kCommitted);
  // The failed attempt's temporary file stays, named record + 32 hex + ".tmp",
  // with the full recovery record in it.
  const std::vector<std::wstring> left = temporaryFiles();
  ASSERT_EQ(left.size(), 1u);
  const std::wstring& name = left[0];
  ASSERT_EQ(name.size(), std::wstring(L"servicing.json.").size() + 32 + 4);
  EXPECT_EQ(name.rfind(L"servicing.json.", 0), 0u);
  EXPECT_EQ(name.substr(name.size() - 4), L".tmp");
  for (wchar_t c : name.substr(15, 32)) {
    EXPECT_TRUE((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'));
  }
  EXPECT_EQ(plainRead(runtimeDirectory() + L"\\" + name),
            nuvra::servicing::recoveryRecordText(homeUtf8(), nuvra::ownerSidHash(), kCommitted));
  // A later attempt picks a new name and succeeds past the stale file.
  ASSERT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "");
  EXPECT_EQ(temporaryFiles(), left);
}

TEST_F(ServicingHome, ARecoveryRecordBeyondTheRecordBoundIsNotWritten) {
  if (releaseFlavour()) return expectStrictRuleRefuses();
  // Every quote doubles in the wrapped text: 150,000 of them cannot be kept
  // in a record of at most 262,144 bytes.
  const std::string large = "{\"k\":\"" + std::string(150000, '"') + "\"}";
  ASSERT_TRUE(writeRecord(large));
  EXPECT_EQ(reasonOf([&] { nuvra::recoverServicing(home_); }), "profile_recovery_write");
  EXPECT_EQ(plainRead(recordPath()), large);
  EXPECT_TRUE(temporaryFiles().empty());
}

}  // namespace
