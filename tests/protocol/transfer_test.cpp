// The transfer commands through ZelMain: retries, the STOP gate, and the
// value count they leave behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "line_fixture.h"
#include "protocol/transfer.h"

namespace zelqd::testing {
namespace {

constexpr const char* kOk = "\x06OK66\r";

class TransferTest : public LineTest {
 protected:
  TransferTest() : slots(4) {
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.valueCount = 3;
    request.values = slots.slots.data();
  }

  std::int32_t Call(std::int32_t code) {
    DriverCall call{};
    call.instance = &instance;
    call.code = code;
    call.params = &request;
    return ZelMain(&call);
  }

  Slots slots;
  TransferRequest request{};
};

// Read time-out 1000 ms, 9600 8N1 (the model's device tells no rate): the
// retries go out one read time-out apart, and each transfer's first request
// waits until the last one of the transfer before plus the wire time of a
// request (20 ms), two read time-outs, that of its reply and 25 ms.
TEST_F(TransferTest, SilentPeerGetsExactlyFiveRequestsOneReadTimeoutApart) {
  struct Case {
    std::int32_t code;
    std::size_t requestSize;
    std::uint64_t replyWireMs;  // 9 bytes of a write reply, 28 of three values, 12 of one
  };
  platform.timeouts.readTotalConstant = 1000;
  std::uint64_t lastAt = 0, owedWireMs = 0;
  for (const Case& c : std::vector<Case>{{CodeWriteValue, 19, 10},
                                         {CodeReadBlock, 14, 30},
                                         {CodeWriteVar, 19, 10},
                                         {CodeReadVar, 14, 13}}) {
    SCOPED_TRACE(c.code);
    platform.Clear();
    EXPECT_EQ(Call(c.code), ResultFailed);
    const std::vector<Bytes> writes = platform.Writes();
    ASSERT_EQ(writes.size(), 5u);
    for (const Bytes& w : writes) {
      EXPECT_EQ(w.size(), c.requestSize);
      EXPECT_EQ(w, writes[0]);
    }
    std::vector<std::uint64_t> at;
    for (const testing::Call& call : platform.calls) {
      if (call.op == Op::Write) at.push_back(call.atMs);
    }
    if (owedWireMs != 0) {
      EXPECT_EQ(at[0], lastAt + 20 + 2000 + owedWireMs + 25);
    }
    for (std::size_t i = 1; i < at.size(); ++i) EXPECT_EQ(at[i] - at[i - 1], 1000u) << i;
    lastAt = at.back();
    owedWireMs = c.replyWireMs;
    EXPECT_TRUE(slots.Untouched());
  }
}

TEST_F(TransferTest, SuccessOnTheThirdAttemptStopsThere) {
  struct Case {
    std::int32_t code;
    std::vector<std::string> replies;
  };
  const std::vector<Case> cases = {
      {CodeWriteValue, {"", "\x06OK67\r", kOk, kOk}},
      {CodeWriteValue,
       {"\x06"
        "ERROR\r\n\r",
        "\x06OK", kOk}},
      {CodeReadBlock,
       {"", ReadReply("0000000100000002X0000003"), ReadReply("000000010000000200000003")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    platform.Clear();
    platform.input.clear();
    Answer(c.replies);
    EXPECT_EQ(Call(c.code), ResultOk);
    EXPECT_EQ(platform.Writes().size(), 3u);
  }
  EXPECT_EQ(slots.slots[2].low, 3);
}

TEST_F(TransferTest, EveryRequestCarriesTheNormalisedSequence) {
  const std::vector<std::pair<std::uint16_t, char>> cases = {
      {32, '!'}, {0, '!'}, {255, '!'}, {0x7E, '~'}, {34, '"'}};
  for (const auto& [sequence, character] : cases) {
    instance.sequence = sequence;
    platform.Clear();
    Call(CodeWriteValue);  // silent: five attempts
    for (const std::string& text : WrittenTexts()) EXPECT_EQ(text[2], character);
    EXPECT_EQ(instance.sequence, static_cast<std::uint8_t>(character));
  }
}

// A remote computer whose replies come late, request by request as the
// case says, read back to back from variable 100 to 149 with a write among
// every four transfers (reply time-out 1200 ms). However late its replies,
// no transfer returns ResultOk with a value that is not its own variable's,
// nor for a write that did not reach the table; replies in time cost the
// clean path nothing beyond the purge check, the write and the read.
TEST_F(TransferTest, LateRepliesAreNeverTakenForAnotherRequest) {
  struct Case {
    const char* what;
    std::uint64_t (*delayMs)(int request);  // from the request to its reply
    int okAtLeast;                          // transfers of 50 that must succeed
  };
  const std::vector<Case> cases = {
      {"all in time", [](int) -> std::uint64_t { return 5; }, 50},
      {"all 1.1 time-outs late", [](int) -> std::uint64_t { return 1320; }, 0},
      {"all 2 time-outs late", [](int) -> std::uint64_t { return 2400; }, 0},
      {"all 1.1 to 2 time-outs late",
       [](int n) -> std::uint64_t { return 1320 + static_cast<std::uint64_t>(n) * 397 % 1081; }, 0},
      {"every tenth 1.5 time-outs late",
       [](int n) -> std::uint64_t { return n % 10 == 3 ? 1800 : 5; }, 50},
      {"every third 2 time-outs late",
       [](int n) -> std::uint64_t { return n % 3 == 1 ? 2400 : 20; }, 50},
  };
  platform.timeouts.readTotalConstant = 1200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<int, std::uint32_t> table;
    for (int v = 100; v < 150; ++v) table[v] = 0x00A10000u + static_cast<std::uint32_t>(v);
    int requests = 0;
    platform.peer = [&](const Bytes& w) {
      const std::string frame(w.begin(), w.end());
      const int variable = std::stoi(frame.substr(3, 5));
      std::string reply = "\x06OK66\r";
      if (frame[1] == 'W') {
        table[variable] = static_cast<std::uint32_t>(std::stoul(frame.substr(8, 8), nullptr, 16));
      } else {
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(table[variable]));
        reply = ReadReply(digits);
      }
      platform.At(platform.clockMs + c.delayMs(requests++), reply);
    };
    int ok = 0;
    for (int n = 0; n < 50; ++n) {
      const int variable = 100 + n;
      const bool write = n % 4 == 2;
      const std::uint32_t value = 0x5A000000u + static_cast<std::uint32_t>(n);
      request.variableNumber = variable;
      slots.slots[0] = write ? ValueSlot{static_cast<std::uint16_t>(value >> 16),
                                         static_cast<std::uint16_t>(value)}
                             : ValueSlot{0, 0};
      platform.Clear();
      const std::int32_t result = Call(write ? CodeWriteVar : CodeReadVar);
      const std::uint32_t seen =
          static_cast<std::uint32_t>(slots.slots[0].high) << 16 | slots.slots[0].low;
      if (result != ResultOk) continue;
      ++ok;
      EXPECT_EQ(write ? table[variable] : seen, write ? value : table[variable])
          << "transfer " << n << " took a reply that was not its own";
      if (c.delayMs == cases[0].delayMs) {
        std::vector<Op> clean{Op::ClearErrors, Op::Write, Op::Read};
        if (write) clean.push_back(Op::Read);  // the form, then the rest
        EXPECT_EQ(platform.Ops(), clean) << "transfer " << n;
      }
    }
    EXPECT_GE(ok, c.okAtLeast);
    platform.clockMs += 10000;  // the last late replies arrive and are purged
    platform.input.clear();
  }
}

TEST_F(TransferTest, UnframableRequestsAreNotRetriedAndSendNothing) {
  struct Case {
    std::int32_t code;
    std::int32_t number;
    std::int32_t count;
    bool withSlots = true;
  };
  for (const Case& c : std::vector<Case>{{CodeReadBlock, 42, 107},
                                         {CodeReadBlock, 42, INT32_MAX},
                                         {CodeReadBlock, 42, 1, false},
                                         {CodeReadBlock, 42, -1},
                                         {CodeReadBlock, 100000, 1},
                                         {CodeReadVar, -7, 0},
                                         {CodeWriteValue, 123456, 1},
                                         {CodeWriteVar, -1, 1},
                                         {CodeWriteVar, 42, 1, false},
                                         {CodeWriteValue, INT32_MIN, 1}}) {
    SCOPED_TRACE(::testing::Message() << c.code << " " << c.number << " " << c.count);
    platform.Clear();
    request.variableNumber = c.number;
    request.valueCount = c.count;
    request.values = c.withSlots ? slots.slots.data() : nullptr;
    EXPECT_EQ(Call(c.code), ResultFailed);
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_TRUE(slots.Untouched());
  }
}

// One row of the STOP table: the call, the state before it, and what must
// hold afterwards.
struct StopRow {
  const char* name;
  std::int32_t code;
  std::uint16_t stopped;
  std::int32_t variableClass;
  std::uint16_t lowWord;  // slot word at offset 2 before the call
  std::int32_t result;
  std::uint16_t stoppedAfter;
  bool onTheLine;             // a request went out
  std::int32_t countAfter;    // valueCount starts at 3
  std::int32_t lowWordAfter;  // -1: the transfer decides
};

TEST_F(TransferTest, StopTable) {
  constexpr std::int32_t N = ZELQD_CLASS_NUMERIC, S = ZELQD_CLASS_STOP;
  constexpr std::int32_t Ok = ResultOk, No = ResultRefused;
  const std::vector<StopRow> rows = {
      {"read STOP while running", CodeReadVar, 0, S, 0xFFFF, Ok, 0, false, 3, 0},
      {"read STOP while suspended", CodeReadVar, 1, S, 0xFFF0, Ok, 1, false, 3, 1},
      {"read numeric while running", CodeReadVar, 0, N, 0, Ok, 0, true, 1, -1},
      {"read class 7 while running", CodeReadVar, 0, 7, 0, Ok, 0, true, 1, -1},
      {"read numeric while suspended", CodeReadVar, 1, N, 0x1234, No, 1, false, 3, 0x1234},
      {"read class 0 while suspended", CodeReadVar, 1, 0, 0x1234, No, 1, false, 3, 0x1234},
      {"block numeric while running", CodeReadBlock, 0, N, 0, Ok, 0, true, 3, -1},
      {"block STOP class while running", CodeReadBlock, 0, S, 0, Ok, 0, true, 3, -1},
      {"block while suspended", CodeReadBlock, 1, N, 0x1234, No, 1, false, 3, 0x1234},
      {"block STOP class while suspended", CodeReadBlock, 1, S, 0x1234, No, 1, false, 3, 0x1234},
      {"write numeric while running", CodeWriteVar, 0, N, 1, Ok, 0, true, 1, 1},
      {"write STOP 1 while running", CodeWriteVar, 0, S, 1, Ok, 1, false, 3, 1},
      {"write STOP 3 while running", CodeWriteVar, 0, S, 3, Ok, 1, false, 3, 3},
      {"write STOP 2 while running", CodeWriteVar, 0, S, 2, Ok, 0, false, 3, 2},
      {"write class 7 while running", CodeWriteVar, 0, 7, 1, Ok, 1, false, 3, 1},
      {"write STOP 2 while suspended", CodeWriteVar, 1, S, 2, Ok, 0, false, 3, 2},
      {"write STOP 1 while suspended", CodeWriteVar, 1, S, 1, Ok, 1, false, 3, 1},
      {"write numeric while suspended", CodeWriteVar, 1, N, 0, No, 1, false, 3, 0},
      {"write class 7 while suspended", CodeWriteVar, 1, 7, 0, No, 1, false, 3, 0},
      {"value numeric while running", CodeWriteValue, 0, N, 1, Ok, 0, true, 3, 1},
      {"value STOP class while running", CodeWriteValue, 0, S, 1, Ok, 0, true, 3, 1},
      {"value while suspended", CodeWriteValue, 1, N, 0, No, 1, false, 3, 0},
      {"value STOP class while suspended", CodeWriteValue, 1, S, 0, No, 1, false, 3, 0},
  };
  for (const StopRow& row : rows) {
    SCOPED_TRACE(row.name);
    platform.Clear();
    platform.input.clear();
    Answer({row.code == CodeReadVar     ? ReadReply("00000001")
            : row.code == CodeReadBlock ? ReadReply("000000010000000200000003")
                                        : kOk});
    instance.stopped = row.stopped;
    request.variableClass = row.variableClass;
    request.valueCount = 3;
    slots.slots[0] = {0xBEEF, row.lowWord};

    EXPECT_EQ(Call(row.code), row.result);
    EXPECT_EQ(instance.stopped, row.stoppedAfter);
    EXPECT_EQ(request.valueCount, row.countAfter);
    if (row.onTheLine) {
      EXPECT_EQ(platform.Writes().size(), 1u);
    } else {
      // Nothing reaches the port at all: no purge, no write, no read.
      EXPECT_TRUE(platform.calls.empty());
      EXPECT_EQ(slots.slots[0].high, 0xBEEF);
    }
    if (row.lowWordAfter >= 0) {
      EXPECT_EQ(slots.slots[0].low, row.lowWordAfter);
    }
  }
}

TEST_F(TransferTest, StopVariableWithoutASlotFailsInsteadOfCrashing) {
  request.values = nullptr;
  request.variableClass = ZELQD_CLASS_STOP;
  EXPECT_EQ(Call(CodeReadVar), ResultFailed);
  EXPECT_EQ(Call(CodeWriteVar), ResultFailed);
  EXPECT_EQ(instance.stopped, 0);
  EXPECT_TRUE(platform.calls.empty());
}

}  // namespace
}  // namespace zelqd::testing
