// Checksum, sequence, request frames and value-group conversion.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "protocol/checksum.h"
#include "protocol/digits.h"
#include "protocol/frames.h"
#include "protocol/slots.h"

namespace zelqd::protocol {
namespace {

std::vector<std::uint8_t> Of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Checksum, NegatedSumModulo256) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    std::int32_t length;
    std::uint8_t expected;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0x00},
      {{1, 2, 3}, 0, 0x00},                 // nothing covered
      {{1, 2, 3}, -5, 0x00},                // a negative length covers nothing
      {{0x80, 0x80}, 2, 0x00},              // sums to 256
      {{0xFF, 0xFF, 0xFF, 0xFF}, 4, 0x04},  // 0x3FC
      {{0x01}, 1, 0xFF},
      {Of("OK"), 2, 0x66},
      {Of("W!0004200000064"), 15, 0x08},                 // write 0x64 to variable 42
      {Of("R!00042003"), 10, 0x04},                      // read 3 values from 42
      {Of("0000001A000A0002"), 16, 0xDB},                // two values, 0x1A and 0xA0002
      {std::vector<std::uint8_t>(852, 'f'), 852, 0x88},  // 106 values of the largest digit
      {std::vector<std::uint8_t>(1023, 0xFF), 1023, 0xFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    EXPECT_EQ(Checksum(c.bytes.data(), c.length), c.expected);
  }
}

TEST(NormalizeSequence, EverythingOutside34To254Becomes33) {
  const std::vector<std::pair<std::uint16_t, std::uint16_t>> cases = {
      {0, 33},    {32, 33},  {33, 33},  {34, 34},   {126, 126},
      {254, 254}, {255, 33}, {256, 33}, {65535, 33}};
  for (const auto& [before, after] : cases) {
    std::uint16_t sequence = before;
    NormalizeSequence(sequence);
    EXPECT_EQ(sequence, after) << "from " << before;
  }
}

std::string WriteRequest(std::uint8_t lead, std::uint16_t sequence, std::int32_t number,
                         std::uint32_t value) {
  std::uint8_t frame[kWriteRequestSize];
  BuildWriteRequest(frame, lead, sequence, number, value);
  return {frame, frame + kWriteRequestSize};
}

std::string ReadRequest(std::uint8_t lead, std::uint16_t sequence, std::int32_t number,
                        std::int32_t count) {
  std::uint8_t frame[kReadRequestSize];
  BuildReadRequest(frame, lead, sequence, number, count);
  return {frame, frame + kReadRequestSize};
}

TEST(Requests, FieldsAtTheirLimits) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {WriteRequest(4, 33, 0, 0), "\x04W!0000000000000" + std::string("18\x03")},
      {WriteRequest(4, 33, 99999, 0xFFFFFFFF), "\x04W!99999FFFFFFFF" + std::string("3B\x03")},
      {WriteRequest(4, 33, 7, 0xABCDEF01), "\x04W!00007ABCDEF01" + std::string("9B\x03")},
      {ReadRequest(4, 33, 0, 0), "\x04R!00000000" + std::string("0D\x03")},
      {ReadRequest(4, 33, 99999, 106), "\x04R!99999106" + std::string("D9\x03")},
      // Lead byte and sequence go out as they are; the lead byte is not summed.
      {ReadRequest(0xFF, 'd', 12345, 1), "\xFFRd12345001" + std::string("BA\x03")},
  };
  for (const auto& [frame, expected] : cases) EXPECT_EQ(frame, expected);
}

// The conversion of value groups with its results as numbers: a slot
// number is the value with its halves exchanged. Entries it leaves alone
// keep what they held.
std::int32_t ConvertHexGroups(const std::uint8_t* groups, std::int32_t count, std::uint32_t* values,
                              std::uint8_t* sum = nullptr) {
  for (std::int32_t i = 0; i < count; ++i) values[i] = SwapHalves(values[i]);
  const std::int32_t converted = ConvertHexGroupsToSlots(groups, count, values, sum);
  for (std::int32_t i = 0; i < count; ++i) values[i] = SwapHalves(values[i]);
  return converted;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// One group through the conversion of many: whether it was taken, and its
// value.
std::pair<bool, std::uint32_t> Convert(const std::string& group) {
  std::uint32_t value = 0xDEADBEEF;
  const bool taken =
      ConvertHexGroups(reinterpret_cast<const std::uint8_t*>(group.data()), 1, &value) == 1;
  return {taken, value};
}

// A group is eight hexadecimal digits: anything else that a "%8X" scan would
// have read as a shorter number (a space, a prefix, a sign, any other byte)
// is refused, and nothing is stored.
TEST(ValueGroups, OnlyEightHexadecimalDigitsAreAValue) {
  const std::vector<std::tuple<std::string, bool, std::uint32_t>> cases = {
      {"0000001A", true, 0x1A},
      {"000A0002", true, 0xA0002},
      {"FFFFFFFF", true, 0xFFFFFFFF},
      {"1a2b3c4d", true, 0x1A2B3C4D},
      {"7fffffff", true, 0x7FFFFFFF},
      {"00000000", true, 0},
      {"12 45678", false, 0xDEADBEEF},
      {"1A2B    ", false, 0xDEADBEEF},
      {"12G45678", false, 0xDEADBEEF},
      {"0x12ABCD", false, 0xDEADBEEF},
      {"0X1a2b3c", false, 0xDEADBEEF},
      {" 1234567", false, 0xDEADBEEF},
      {"+1234567", false, 0xDEADBEEF},
      {"-0000001", false, 0xDEADBEEF},
      {std::string("1234567\0", 8), false, 0xDEADBEEF},
  };
  for (const auto& [group, taken, value] : cases) {
    EXPECT_EQ(Convert(group), std::make_pair(taken, value)) << group;
  }
}

// Every byte value at every position of a sound group: taken exactly when
// the byte is a hexadecimal digit, and then with the value the C library
// reads from the eight digits.
TEST(ValueGroups, EveryByteAtEveryPosition) {
  for (const std::string base : {"1a2B3c4D", "0F0f9A8b", "FFFFFFFF", "00000000"}) {
    for (std::size_t position = 0; position < 8; ++position) {
      for (int byte = 0; byte < 256; ++byte) {
        std::string group = base;
        group[position] = static_cast<char>(byte);
        const auto [taken, value] = Convert(group);
        ASSERT_EQ(taken, IsHexDigit(group[position]))
            << base << " byte " << byte << " at " << position;
        if (taken) {
          ASSERT_EQ(value, std::strtoul(group.c_str(), nullptr, 16)) << group;
        }
      }
    }
  }
}

TEST(ValueGroups, ManyAtOnceStopAtTheFirstGroupThatIsNotEightDigits) {
  const std::string hex = "0123456789abcdefABCDEF";
  const std::string other("gZ x-+\r\0", 8);
  std::mt19937 random(20261210);
  for (int n = 0; n < 2000; ++n) {
    const auto count = static_cast<std::int32_t>(random() % (kMaxValueCount + 1));
    std::string groups;
    for (std::int32_t g = 0; g < count; ++g) {
      for (int i = 0; i < 8; ++i) groups += hex[random() % hex.size()];
    }
    std::int32_t bad = count;
    if (count > 0 && random() % 2 == 0) {
      bad = static_cast<std::int32_t>(random() % static_cast<unsigned>(count));
      groups[static_cast<std::size_t>(8 * bad) + random() % 8] = other[random() % 8];
    }
    std::vector<std::uint32_t> values(kMaxValueCount, 0xDEADBEEF);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(groups.data());
    std::uint8_t sum = 0xA5;
    ASSERT_EQ(ConvertHexGroups(bytes, count, values.data(), &sum), bad);
    // Sound groups come with the sum the checksum takes of their bytes.
    if (bad == count) {
      ASSERT_EQ(static_cast<std::uint8_t>(0u - sum), Checksum(bytes, 8 * count));
    }
    for (std::int32_t g = 0; g < count; ++g) {
      const std::string group = groups.substr(static_cast<std::size_t>(8 * g), 8);
      const std::uint32_t expected =
          g < bad ? static_cast<std::uint32_t>(std::strtoul(group.c_str(), nullptr, 16))
                  : 0xDEADBEEFu;
      ASSERT_EQ(values[static_cast<std::size_t>(g)], expected) << g;
    }
  }
  EXPECT_EQ(ConvertHexGroups(nullptr, 0, nullptr), 0);
}

}  // namespace
}  // namespace zelqd::protocol
