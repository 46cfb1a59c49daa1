// Request decoding and the frames the simulator builds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelsim/frame.h"

namespace zelsim {
namespace {

Bytes Of(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// A request whose covered part is `body` (command letter, sequence and
// digits), with its checksum made right unless `sum` is given.
Bytes Frame(const std::string& body, const std::string& sum = "", std::uint8_t end = 0x03) {
  Bytes out{kLeadByte};
  out.insert(out.end(), body.begin(), body.end());
  const auto digits = ChecksumDigits(Checksum(std::span(out).subspan(1)));
  const std::string s = sum.empty() ? std::string(digits.begin(), digits.end()) : sum;
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(end);
  return out;
}

TEST(Frame, BuildsTheWriteOf0x64AndTheReadOfThreeValuesForVariable42) {
  EXPECT_EQ(WriteRequest(42, 0x64), Of({0x04, 0x57, 0x21, 0x30, 0x30, 0x30, 0x34, 0x32, 0x30, 0x30,
                                        0x30, 0x30, 0x30, 0x30, 0x36, 0x34, 0x30, 0x38, 0x03}));
  EXPECT_EQ(ReadRequest(42, 3), Of({0x04, 0x52, 0x21, 0x30, 0x30, 0x30, 0x34, 0x32, 0x30, 0x30,
                                    0x33, 0x30, 0x34, 0x03}));
}

TEST(Frame, ValueReplyCarriesDigitsAndTheirChecksum) {
  const std::uint32_t values[] = {0x1A, 0x000A0002};
  const Bytes reply = ValueReply(values);
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(std::string(reply.begin() + 1, reply.end() - 1), "0000001A000A0002DB");
  EXPECT_EQ(ValueReply({}), Of({kReplyFirst, '0', '0', kReplyLast}));
}

TEST(Frame, KeywordRepliesHaveTheirFixedSizes) {
  const Bytes ok = OkReply();
  ASSERT_EQ(ok.size(), kOkReplySize);
  EXPECT_EQ(std::string(ok.begin() + 1, ok.end() - 1), "OK66");
  const Bytes error = ErrorReply();
  ASSERT_EQ(error.size(), kErrorReplySize);
  EXPECT_EQ(std::string(error.begin() + 1, error.begin() + 6), "ERROR");
}

TEST(Frame, ChecksumIsTheNegatedSum) {
  EXPECT_EQ(Checksum({}), 0);
  const Bytes sums256 = Of({0x80, 0x80});
  EXPECT_EQ(Checksum(sums256), 0);
  const Bytes one = Of({0x01});
  EXPECT_EQ(Checksum(one), 0xFF);
  EXPECT_EQ(ChecksumDigits(0x0A)[0], '0');
  EXPECT_EQ(ChecksumDigits(0x0A)[1], 'A');
}

struct DecodeCase {
  const char* name;
  Bytes frame;
  Verdict verdict;
  int variable;
  int count;  // read: count; write: -1
  std::uint32_t value;
};

TEST(Frame, DecodeChecksInOrderAndReadsTheFields) {
  const std::vector<DecodeCase> cases = {
      {"write", WriteRequest(42, 0xDEADBEEF), Verdict::Ok, 42, -1, 0xDEADBEEF},
      {"read", ReadRequest(99999, 1), Verdict::Ok, 99999, 1, 0},
      {"readNothing", ReadRequest(5, 0), Verdict::Ok, 5, 0, 0},
      {"readLargest", ReadRequest(99894, 106), Verdict::Ok, 99894, 106, 0},
      {"otherSequence", Frame("R~00001001"), Verdict::Ok, 1, 1, 0},
      {"badEnd", Frame("R!00042001", "", 0x0D), Verdict::BadEnd, 42, 1, 0},
      {"badChecksum", Frame("R!00042001", "0E"), Verdict::BadChecksum, 42, 1, 0},
      // Checksum digits travel in upper case: "0d" is not "0D".
      {"lowerCaseChecksum", Frame("R!00042001", "0d"), Verdict::BadChecksum, 42, 1, 0},
      {"letterInVariable", Frame("R!0004A001"), Verdict::BadDigits, -1, 1, 0},
      {"signInCount", Frame("R!00042-01"), Verdict::BadDigits, 42, -1, 0},
      {"lowerCaseValue", Frame("W!000420000abcd"), Verdict::BadDigits, 42, -1, 0},
      {"countAbove106", ReadRequest(0, 107), Verdict::CountTooLarge, 0, 107, 0},
      {"pastTheTable", ReadRequest(99999, 2), Verdict::BeyondTable, 99999, 2, 0},
      {"endsAtTheTable", ReadRequest(99990, 10), Verdict::Ok, 99990, 10, 0}};
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Request r = DecodeRequest(c.frame);
    EXPECT_EQ(r.verdict, c.verdict) << VerdictText(r.verdict);
    EXPECT_EQ(r.variable, c.variable);
    if (r.command == Command::Read) {
      EXPECT_EQ(r.count, c.count);
    } else {
      EXPECT_EQ(r.value, c.value);
    }
    EXPECT_EQ(r.bytes, c.frame);
  }
}

TEST(Frame, PrintableNamesControlBytes) {
  const Bytes bytes = Of({0x04, 'R', '!', 0x03, 0xFF});
  EXPECT_EQ(Printable(bytes), "<EOT>R!<ETX><xFF>");
  EXPECT_EQ(Hex(bytes), "04 52 21 03 FF");
}

}  // namespace
}  // namespace zelsim
