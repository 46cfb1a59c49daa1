// One attempt each: the write and read exchanges against a scripted line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_fixture.h"
#include "protocol/exchange.h"

namespace zelqd::testing {
namespace {

using protocol::Attempt;
using protocol::AttemptFailure;

class WriteExchangeTest : public LineTest {
 protected:
  WriteExchangeTest() {
    instance.sequence = 33;
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = &slot;
    slot.high = 0;
    slot.low = 0x0064;
  }
  std::int32_t Run() {
    serial::TransferPort line(instance.port);
    return protocol::WriteExchange(line, instance, request, attempt);
  }

  ValueSlot slot{};
  TransferRequest request{};
  Attempt attempt;
};

TEST_F(WriteExchangeTest, SendsValue0x64ToVariable42WithChecksum08) {
  Answer({"\x06OK66\r"});
  EXPECT_EQ(Run(), ResultOk);
  const std::vector<std::uint8_t> expected = {0x04, 0x57, 0x21, 0x30, 0x30, 0x30, 0x34,
                                              0x32, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30,
                                              0x36, 0x34, 0x30, 0x38, 0x03};
  ASSERT_EQ(platform.Writes().size(), 1u);
  EXPECT_EQ(platform.Writes()[0], expected);
}

struct WriteReplyCase {
  const char* name;
  std::string reply;
  std::int32_t result;
  AttemptFailure failure;
  std::int32_t received;  // reply bytes that arrived
};

TEST_F(WriteExchangeTest, JudgesEveryReplyForm) {
  const std::vector<WriteReplyCase> cases = {
      {"OK", "\x06OK66\r", ResultOk, AttemptFailure::kNone, 6},
      {"OK, bytes 0 and 5 zero", std::string("\0OK66\0", 6), ResultOk, AttemptFailure::kNone, 6},
      {"OK, bytes 0 and 5 0xFF", "\xFFOK66\xFF", ResultOk, AttemptFailure::kNone, 6},
      {"OK, bytes 0 and 5 letters", "OOK66K", ResultOk, AttemptFailure::kNone, 6},
      {"OK digits 67", "\x06OK67\r", ResultFailed, AttemptFailure::kChecksum, 6},
      {"OK digits 76", "\x06OK76\r", ResultFailed, AttemptFailure::kChecksum, 6},
      {"OK digits lower-case", "\x06OKff\r", ResultFailed, AttemptFailure::kChecksum, 6},
      {"ERROR", std::string("\6ERROR\r\n\0", 9), ResultFailed, AttemptFailure::kErrorReply, 9},
      {"ERROR, any other bytes", "OERRORKK6", ResultFailed, AttemptFailure::kErrorReply, 9},
      {"neither keyword", "\6ERRXR66\r", ResultFailed, AttemptFailure::kNoKeyword, 9},
      {"lower-case ok", "\x06ok66\r", ResultFailed, AttemptFailure::kReplyIncomplete, 6},
      {"stops after three bytes", "\x06OK", ResultFailed, AttemptFailure::kReplyIncomplete, 3},
      {"stops after two bytes", "\x06O", ResultFailed, AttemptFailure::kReplyIncomplete, 2},
      {"silent", "", ResultFailed, AttemptFailure::kReplyIncomplete, 0},
  };
  for (const WriteReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.input.clear();
    Answer({c.reply});
    EXPECT_EQ(Run(), c.result);
    EXPECT_EQ(attempt.failure, c.failure);
    EXPECT_EQ(attempt.replyReceived, c.received);
  }
}

// A reply longer than the six bytes that are read leaves bytes behind; the
// next request is preceded by discarding them, so they are never taken for
// the start of its reply.
TEST_F(WriteExchangeTest, NineByteOkReplyThenACleanNextTransfer) {
  Answer({"\x06OK66\r!ER", "\x06OK66\r"});
  EXPECT_EQ(Run(), ResultOk);
  EXPECT_EQ(platform.input.size(), 3u);
  EXPECT_EQ(Run(), ResultOk);
  EXPECT_EQ(attempt.replyReceived, 6);
  EXPECT_EQ(std::string(attempt.reply, attempt.reply + 6), "\x06OK66\r");
  EXPECT_TRUE(platform.input.empty());
}

class ReadExchangeTest : public LineTest {
 protected:
  ReadExchangeTest() : slots(106) {
    instance.sequence = 33;
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = slots.slots.data();
  }
  std::int32_t Run(std::int32_t count) {
    request.valueCount = count;
    serial::TransferPort line(instance.port);
    return protocol::ReadExchange(line, instance, request, attempt);
  }

  Slots slots;
  TransferRequest request{};
  Attempt attempt;
};

TEST_F(ReadExchangeTest, RequestForThreeValuesAndReplyOfTwo) {
  // The request for three values.
  Answer({ReadReply("000000010000000200000003")});
  EXPECT_EQ(Run(3), ResultOk);
  const std::vector<std::uint8_t> expected = {0x04, 0x52, 0x21, 0x30, 0x30, 0x30, 0x34,
                                              0x32, 0x30, 0x30, 0x33, 0x30, 0x34, 0x03};
  EXPECT_EQ(platform.Writes().at(0), expected);

  // The reply of two values.
  const std::string reply = ReadReply("0000001A000A0002");
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(reply.substr(17, 2), "DB");
  Answer({reply});
  EXPECT_EQ(Run(2), ResultOk);
  EXPECT_EQ(slots.slots[0].high, 0x0000);
  EXPECT_EQ(slots.slots[0].low, 0x001A);
  EXPECT_EQ(slots.slots[1].high, 0x000A);
  EXPECT_EQ(slots.slots[1].low, 0x0002);
  // The reply is read in one portion.
  EXPECT_EQ(platform.calls.back().op, Op::Read);
  EXPECT_EQ(platform.calls.back().count, 20u);
}

TEST_F(ReadExchangeTest, LowerCaseValueDigitsAreAccepted) {
  Answer({ReadReply("0000001a000a0002ABCDEFab")});
  EXPECT_EQ(Run(3), ResultOk);
  EXPECT_EQ(slots.slots[0].low, 0x001A);
  EXPECT_EQ(slots.slots[1].high, 0x000A);
  EXPECT_EQ(slots.slots[2].high, 0xABCD);
  EXPECT_EQ(slots.slots[2].low, 0xEFAB);
}

struct RefusedReadCase {
  const char* name;
  std::string reply;
  AttemptFailure failure;
};

// Every refused reply leaves every slot as it was, also the slots of the
// groups that were sound.
TEST_F(ReadExchangeTest, RefusedRepliesWriteNoSlot) {
  const std::string good = ReadReply("0000001A000A0002");  // checksum DB
  std::string lowerSum = good;
  lowerSum[17] = 'd';
  lowerSum[18] = 'b';
  std::string corrupted = good;
  corrupted[12] = '3';  // one value digit of the second group
  const std::vector<RefusedReadCase> cases = {
      {"checksum digit in lower case", lowerSum, AttemptFailure::kChecksum},
      {"one corrupted value digit", corrupted, AttemptFailure::kChecksum},
      {"checksum digits swapped", good.substr(0, 17) + "BD\r", AttemptFailure::kChecksum},
      {"second group starts with a space", ReadReply("0000001A 00A0002"),
       AttemptFailure::kBadValueDigit},
      {"second group starts with a sign", ReadReply("0000001A-0000002"),
       AttemptFailure::kBadValueDigit},
      {"first group starts with a letter past F", ReadReply("G000001A000A0002"),
       AttemptFailure::kBadValueDigit},
      {"a space inside the first group", ReadReply("12 45678000A0002"),
       AttemptFailure::kBadValueDigit},
      {"a prefix in the second group", ReadReply("0000001A0x12ABCD"),
       AttemptFailure::kBadValueDigit},
      {"reply one byte short", good.substr(0, 19), AttemptFailure::kReplyIncomplete},
      {"silent", "", AttemptFailure::kReplyIncomplete},
  };
  for (const RefusedReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    platform.input.clear();
    Answer({c.reply});
    EXPECT_EQ(Run(2), ResultFailed);
    EXPECT_EQ(attempt.failure, c.failure);
    EXPECT_TRUE(slots.Untouched());
  }
}

TEST_F(ReadExchangeTest, BlockOfNoValues) {
  const std::string empty = std::string("\x06") + "00\r";
  Answer({empty});
  EXPECT_EQ(Run(0), ResultOk);
  EXPECT_EQ(WrittenTexts().at(0).substr(8, 3), "000");
  EXPECT_EQ(platform.calls.back().count, 4u);
  EXPECT_TRUE(slots.Untouched());

  // No slot is needed at all.
  request.values = nullptr;
  Answer({empty});
  EXPECT_EQ(Run(0), ResultOk);

  // The digits of an empty checksum are 0 and 0, nothing else.
  Answer({std::string("\x06") + "FF\r"});
  EXPECT_EQ(Run(0), ResultFailed);
}

TEST_F(ReadExchangeTest, BlockOf106ValuesFillsEverySlot) {
  std::string digits;
  for (int i = 0; i < 106; ++i) {
    char group[9];
    std::snprintf(group, sizeof group, "%04X%04X", i + 0x100, 0xF000 + i);
    digits += group;
  }
  Answer({ReadReply(digits)});
  EXPECT_EQ(Run(106), ResultOk);
  EXPECT_EQ(WrittenTexts().at(0).substr(8, 3), "106");
  EXPECT_EQ(platform.calls.back().count, 852u);
  for (int i = 0; i < 106; ++i) {
    EXPECT_EQ(slots.slots[i].high, 0x100 + i) << i;
    EXPECT_EQ(slots.slots[i].low, 0xF000 + i) << i;
  }
}

TEST_F(ReadExchangeTest, ValuesGoIntoUnalignedSlots) {
  alignas(4) std::uint8_t memory[12];
  std::memset(memory, 0x5A, sizeof memory);
  request.values = reinterpret_cast<ValueSlot*>(memory + 3);
  Answer({ReadReply("12345678")});
  EXPECT_EQ(Run(1), ResultOk);
  const std::uint8_t expected[12] = {0x5A, 0x5A, 0x5A, 0x34, 0x12, 0x78,
                                     0x56, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_EQ(0, std::memcmp(memory, expected, sizeof memory));
}

}  // namespace
}  // namespace zelqd::testing
