// zelpoll's own pieces: banner drawing, formats, addresses, exit codes.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cp437.h"
#include "exit_codes.h"
#include "host.h"
#include "output.h"
#include "session.h"

namespace zelpoll {
namespace {

TEST(Cp437, DrawsTheBannerCharactersInUtf8) {
  struct Case {
    std::string cp437;
    std::string utf8;
  };
  const Case cases[] = {
      {"plain text\n", "plain text\n"},
      {"\xC9\xCD\xBB", "╔═╗"},
      {"\xBA \xBA", "║ ║"},
      {"\xC8\xCD\xBC", "╚═╝"},
      {"\xDB\xB2\xB1\xB0", "█▓▒░"},
      {"\x80\x9E\xE1\xFE", "Ç₧ß■"},
      {"\xFF", "\xC2\xA0"},  // no-break space
  };
  for (const auto& c : cases) EXPECT_EQ(Cp437ToUtf8(c.cp437), c.utf8);
}

TEST(Output, FieldsEscapedForTheirFormats) {
  EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
  EXPECT_EQ(JsonString("╔"), "\"╔\"");
  EXPECT_EQ(CsvField("plain"), "plain");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(Hex32(0xFFFFFF85u), "0xFFFFFF85");
  EXPECT_EQ(Hex32(42), "0x0000002A");
}

TEST(Output, TimestampsInUtcWithMilliseconds) {
  const TimePoint t{std::chrono::milliseconds(1700000000123)};
  EXPECT_EQ(IsoTime(t), "2023-11-14T22:13:20.123Z");
}

TEST(Addresses, BareNumbersAndStopAreSpelledForTheDriver) {
  EXPECT_EQ(AddressText("42"), "$00042");
  EXPECT_EQ(AddressText("0"), "$00000");
  EXPECT_EQ(AddressText("99999"), "$99999");
  EXPECT_EQ(AddressText("stop"), "$STOP");
  // Anything else is the driver's to judge, unchanged.
  EXPECT_EQ(AddressText("123456"), "123456");
  EXPECT_EQ(AddressText("$00042"), "$00042");
  EXPECT_EQ(AddressText("$stop"), "$stop");
  EXPECT_EQ(AddressText("-1"), "-1");
}

TEST(Poll, MedianOfLatencies) {
  EXPECT_EQ(Median({}), 0);
  EXPECT_EQ(Median({5}), 5);
  EXPECT_EQ(Median({9, 1, 5}), 5);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
}

TEST(ExitCodes, GravestWins) {
  EXPECT_EQ(ExitFor(ResultOk), kExitOk);
  EXPECT_EQ(ExitFor(ResultRefused), kExitRefused);
  EXPECT_EQ(ExitFor(ResultFailed), kExitFailed);
  EXPECT_EQ(Graver(kExitOk, kExitRefused), kExitRefused);
  EXPECT_EQ(Graver(kExitFailed, kExitRefused), kExitFailed);
  EXPECT_EQ(Graver(kExitSetup, kExitFailed), kExitSetup);
  EXPECT_EQ(Graver(kExitFailed, kExitUsage), kExitUsage);
  EXPECT_EQ(Graver(kExitUsage, kExitOk), kExitUsage);
}

}  // namespace
}  // namespace zelpoll
