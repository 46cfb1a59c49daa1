#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zelqd/zelqd.h"

namespace {

DriverInfo QueryInfo(DriverInstance* instance) {
  DriverInfo info;
  std::memset(&info, 0xA5, sizeof info);
  DriverCall call{};
  call.instance = instance;
  call.code = CodeGetDriverInfo;
  call.params = &info;
  EXPECT_EQ(ZelMain(&call), ResultOk);
  return info;
}

TEST(DriverInfo, WritesItsFieldsAndLeavesTheReservedBytes) {
  // An instance pointer the driver must never read.
  auto* bogus = reinterpret_cast<DriverInstance*>(static_cast<std::uintptr_t>(0x10));
  const DriverInfo info = QueryInfo(bogus);
  EXPECT_EQ(info.infoTag, 70);
  EXPECT_STREQ(info.shortName, "General Purpose");
  EXPECT_EQ(info.instanceSize, 684);
  EXPECT_EQ(info.infoFlagA, 1);
  EXPECT_EQ(info.infoFlagB, 1);
  for (unsigned char b : info.reserved20) EXPECT_EQ(b, 0xA5);
}

TEST(DriverInfo, NullInstanceIsFine) {
  const DriverInfo info = QueryInfo(nullptr);
  EXPECT_EQ(info.instanceSize, 684);
}

std::string Repeat(unsigned code, int n) { return std::string(n, static_cast<char>(code)); }

TEST(DriverInfo, BannerBytes) {
  const DriverInfo info = QueryInfo(nullptr);
  const std::string banner(info.banner);
  ASSERT_EQ(banner.size(), 316u);
  ASSERT_EQ(banner[0], '\n');

  // Five lines of 62 bytes plus a newline, each beginning with a space.
  std::string lines[5];
  for (int i = 0; i < 5; ++i) {
    lines[i] = banner.substr(1 + 63 * i, 63);
    ASSERT_EQ(lines[i].back(), '\n') << "line " << i + 1;
    ASSERT_EQ(lines[i][0], ' ') << "line " << i + 1;
    lines[i] = lines[i].substr(1, 61);
  }
  EXPECT_EQ(lines[0], Repeat(0xC9, 1) + Repeat(0xCD, 59) + Repeat(0xBB, 1));
  EXPECT_EQ(lines[4], Repeat(0xC8, 1) + Repeat(0xCD, 59) + Repeat(0xBC, 1));
  const std::string bar = " " + Repeat(0xDB, 5) + Repeat(0xB2, 6) + Repeat(0xB1, 6) +
                          Repeat(0xB0, 4) + " Z E L Q D C " + Repeat(0xB0, 6) + Repeat(0xB1, 6) +
                          Repeat(0xB2, 6) + Repeat(0xDB, 5) + " ";
  EXPECT_EQ(lines[1], Repeat(0xBA, 1) + bar + Repeat(0xBA, 1));
  EXPECT_EQ(lines[2], Repeat(0xBA, 1) + std::string(14, ' ') + "ZELQD - Client WIN95 installed," +
                          std::string(14, ' ') + Repeat(0xBA, 1));
  // Maker line: 8 spaces, 46 characters ending in the version, 5 spaces.
  ASSERT_EQ(lines[3].size(), 61u);
  EXPECT_EQ(lines[3].front(), static_cast<char>(0xBA));
  EXPECT_EQ(lines[3].back(), static_cast<char>(0xBA));
  const std::string inner = lines[3].substr(1, 59);
  EXPECT_EQ(inner.substr(0, 8), std::string(8, ' '));
  EXPECT_EQ(inner.substr(8 + 32, 14), "- Version 5.30");
  EXPECT_EQ(inner.substr(54), std::string(5, ' '));
}

}  // namespace
