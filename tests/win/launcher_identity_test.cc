#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include "common/crypto_win.h"
#include "common/handle_win.h"
#include "common/text_win.h"
#include "launcher/identity_win.h"
#include "work/identity_win.h"

namespace nuvra::launcher {
namespace {

TEST(LauncherIdentity, HomeKeyIgnoresLetterCaseButNotOtherDifferences) {
  EXPECT_EQ(homeKey(L"C:\\Users\\Me\\Nuvra"), homeKey(L"c:\\users\\me\\NUVRA"));
  EXPECT_EQ(homeKey(L"C:\\Users\\Me\\Nuvra"), sha256Hex("c:\\users\\me\\nuvra"));
  EXPECT_NE(homeKey(L"C:\\Users\\Me\\Nuvra"), homeKey(L"C:\\Users\\Me\\Nuvra\\"));
}

TEST(LauncherIdentity, MutexNameIsThePrefixAndTheHomeKey) {
  const std::string key = homeKey(L"C:\\h");
  EXPECT_EQ(serializationMutexName(L"C:\\H"),
            L"Global\\Nuvra.RuntimeSerialization.V1." + std::wstring(key.begin(), key.end()));
}

TEST(LauncherIdentity, OwnerOnlyMutexKeepsExactlyItsDescriptor) {
  OwnerOnlySecurity security;
  EXPECT_EQ(security.attributes()->bInheritHandle, FALSE);
  UniqueHandle mutex(CreateMutexW(security.attributes(), FALSE, nullptr));
  ASSERT_TRUE(mutex);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  ASSERT_EQ(GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  LPWSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
      nullptr));
  const std::wstring sddl(text);
  const WORD aces = dacl != nullptr ? dacl->AceCount : 0;
  LocalFree(text);
  LocalFree(descriptor);
  const std::wstring sid = nuvra::currentUserSid();
  // Kernel objects keep GENERIC_ALL mapped to the object's full access.
  EXPECT_EQ(sddl.rfind(L"O:" + sid + L"D:P(A;;", 0), 0u) << utf16ToUtf8(sddl);
  EXPECT_NE(sddl.find(L";;;" + sid + L")"), std::wstring::npos);
  EXPECT_EQ(aces, 1);
}

}  // namespace
}  // namespace nuvra::launcher
