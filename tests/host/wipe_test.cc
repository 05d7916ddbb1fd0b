#include "common/wipe.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using nuvra::WipedBytes;

TEST(WipeBytes, ZeroesEveryByte) {
  unsigned char buffer[37];
  for (auto& b : buffer) b = 0xA5;
  nuvra::wipeBytes(buffer, sizeof(buffer));
  for (auto b : buffer) EXPECT_EQ(b, 0);
  nuvra::wipeBytes(nullptr, 10);  // nothing to do, no crash
}

TEST(WipedBytesBuffer, KeepsAppendedBytesAcrossGrowth) {
  WipedBytes bytes("abc");
  for (int i = 0; i < 100; ++i) bytes.append("0123456789");
  EXPECT_EQ(bytes.size(), 1003u);
  EXPECT_EQ(bytes.view().substr(0, 13), "abc0123456789");
  EXPECT_EQ(bytes.view().substr(993), "0123456789");
}

TEST(WipedBytesBuffer, ResizeZeroFillsGrowthAndKeepsThePrefix) {
  WipedBytes bytes("secret");
  bytes.resize(3);
  EXPECT_EQ(bytes.view(), "sec");
  bytes.resize(5);
  EXPECT_EQ(bytes.view(), std::string_view("sec\0\0", 5));
}

TEST(WipedBytesBuffer, ClearAndMoveLeaveNothingBehind) {
  WipedBytes bytes("secret");
  WipedBytes moved(std::move(bytes));
  EXPECT_EQ(moved.view(), "secret");
  WipedBytes other("x");
  other = std::move(moved);
  EXPECT_EQ(other.view(), "secret");
  other.clear();
  EXPECT_TRUE(other.empty());
  EXPECT_EQ(other.data(), nullptr);
}

}  // namespace
