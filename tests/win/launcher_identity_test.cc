#include <windows.h>

#include <gtest/gtest.h>

#include "common/crypto_win.h"
#include "launcher/identity_win.h"

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

}  // namespace
}  // namespace nuvra::launcher
