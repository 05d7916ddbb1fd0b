#include "common/security_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/handle_win.h"
#include "common/identity_win.h"
#include "common/policy.h"
#include "test_support_win.h"

namespace {

using nuvra::testing::reasonOf;

TEST(OwnerOnlySecurity, SpellsTheFileAndDirectoryForms) {
  EXPECT_EQ(nuvra::ownerOnlySddl(L"S-1-5-21-1-2-3-1000", false),
            L"O:S-1-5-21-1-2-3-1000D:P(A;;GA;;;S-1-5-21-1-2-3-1000)");
  EXPECT_EQ(nuvra::ownerOnlySddl(L"S-1-5-21-1-2-3-1000", true),
            L"O:S-1-5-21-1-2-3-1000D:P(A;OICI;GA;;;S-1-5-21-1-2-3-1000)");
}

TEST(OwnerOnlySecurity, RefusesAnUnusableSidWithTheCallersReason) {
  EXPECT_EQ(reasonOf([] { nuvra::OwnerOnlySecurity security(L"not a sid", false, "my_reason"); }),
            "my_reason");
}

TEST(OwnerOnlySecurity, CreatesObjectsThatPassTheOwnerOnlyCheckOfTheFlavour) {
  nuvra::testing::ScratchDirectory scratch;
  const std::wstring sid = nuvra::currentUserSid();
  const std::wstring directory = scratch.file(L"d");
  const std::wstring file = scratch.file(L"f");
  {
    nuvra::OwnerOnlySecurity security(sid, true, "test_security");
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), security.attributes()));
  }
  nuvra::OwnerOnlySecurity security(sid, false, "test_security");
  EXPECT_EQ(security.attributes()->bInheritHandle, FALSE);
  nuvra::UniqueHandle created(CreateFileW(file.c_str(), GENERIC_WRITE | READ_CONTROL, 0,
                                          security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                          nullptr));
  ASSERT_TRUE(created);
  security.release();
  EXPECT_EQ(security.attributes()->lpSecurityDescriptor, nullptr);
  nuvra::UniqueHandle opened(CreateFileW(directory.c_str(), READ_CONTROL, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(opened);
  // Wine keeps only the mode bits of a descriptor: the testbed flavour
  // accepts its rendering of an owner-only object, the release flavour not.
  const char* expected =
      std::string(nuvra::policy::flavourName()) == "release" ? "profile_security" : "";
  EXPECT_EQ(reasonOf([&] { nuvra::checkOwnerOnly(created.get(), nuvra::OwnedObject::file); }),
            expected);
  EXPECT_EQ(reasonOf([&] { nuvra::checkOwnerOnly(opened.get(), nuvra::OwnedObject::directory); }),
            expected);
  created.closeQuietly();
  opened.closeQuietly();
  DeleteFileW(file.c_str());
  RemoveDirectoryW(directory.c_str());
}

}  // namespace
