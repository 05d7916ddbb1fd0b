#include <windows.h>

#include <gtest/gtest.h>

#include "common/policy.h"

namespace {

TEST(WindowsTestBed, ReportsWindowsTenAndTheFlavour) {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto getVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(getVersion, nullptr);
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_EQ(getVersion(&info), 0);
  EXPECT_EQ(info.dwMajorVersion, 10u);
  std::string flavour = nuvra::policy::flavourName();
  EXPECT_TRUE(flavour == "release" || flavour == "testbed");
}

}  // namespace
