// The serial layer's algorithms, seen through the recording backend: call
// order, every value handed to the platform, and the failure table.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "serial/com.h"
#include "support/recording_platform.h"

namespace zelqd::serial {
namespace {

using testing::Bytes;
using testing::Call;
using testing::Op;
using testing::RecordingPlatform;

constexpr LineSettings k9600_8N1{9600, 8, 0, 0, 0, 0, 0};
const std::vector<Op> kConfigured{Op::Open, Op::GetState, Op::SetTimeouts, Op::SetState,
                                  Op::SetQueues};

// The read time-out that was in force when ComSetReadTimeout set another
// (units of 10 ms; 0 when a platform call failed).
std::int32_t PreviousTimeout(Handle handle, std::int32_t timeout) {
  std::int32_t previous = -1;
  ComSetReadTimeout(handle, timeout, &previous);
  return previous;
}

std::vector<Call> CallsOf(const RecordingPlatform& rec, Op op) {
  std::vector<Call> out;
  std::copy_if(rec.calls.begin(), rec.calls.end(), std::back_inserter(out),
               [op](const Call& c) { return c.op == op; });
  return out;
}

Call Only(const RecordingPlatform& rec, Op op) {
  const std::vector<Call> calls = CallsOf(rec, op);
  EXPECT_EQ(calls.size(), 1u) << testing::OpName(op);
  return calls.empty() ? rec.calls.front() : calls[0];
}

std::vector<std::uint32_t> Fields(const Timeouts& t) {
  return {t.readInterval, t.readTotalMultiplier, t.readTotalConstant, t.writeTotalMultiplier,
          t.writeTotalConstant};
}

// --- ComOpen ---------------------------------------------------------------

// The write time-out: a constant of one second plus the wire time of each
// byte at the rate and framing asked for, in whole milliseconds.
TEST(ComOpen, CallOrderTimeoutsAndQueuesAndTheNullDevice) {
  struct Case {
    const char* name;
    bool configured;  // only "NUL" exactly is left unconfigured
    LineSettings settings;
    std::uint32_t msPerByte;
  };
  for (const Case& c :
       {Case{"COM1", true, k9600_8N1, 2}, Case{"nul", true, k9600_8N1, 2},
        Case{"NUL", false, k9600_8N1, 0}, Case{"COM2", true, {57600, 8, 0, 0, 0, 0, 0}, 1},
        Case{"COM3", true, {300, 7, 0, 2, 0, 2, 0}, 37},  // 11 bits
        Case{"COM4", true, {50, 8, 0, 1, 0, 0, 0}, 220}}) {
    SCOPED_TRACE(c.name);
    RecordingPlatform rec;
    rec.timeouts = {7, 8, 9, 10, 11};  // whatever the device had
    Handle h = 0;
    ASSERT_EQ(ComOpen(c.name, c.settings, 8, &h), ComOk);
    EXPECT_EQ(h, 0x100u);
    EXPECT_EQ(rec.calls.front().name, c.name);
    EXPECT_EQ(rec.openHandles.count(h), 1u);
    if (!c.configured) {
      EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::Open});
      continue;
    }
    EXPECT_EQ(rec.Ops(), kConfigured);
    for (const Call& call : rec.calls) {
      if (call.op != Op::Open) {
        EXPECT_EQ(call.handle, h) << testing::OpName(call.op);
      }
    }
    EXPECT_EQ(Only(rec, Op::GetState).state.length, 28u);
    EXPECT_EQ(Fields(Only(rec, Op::SetTimeouts).timeouts),
              (std::vector<std::uint32_t>{0, 0, 1000, c.msPerByte, 1000}));
    EXPECT_EQ(Only(rec, Op::SetQueues).count, 1200u);
    EXPECT_EQ(Only(rec, Op::SetQueues).count2, 1200u);
  }
}

TEST(ComOpen, SetsEveryBlockFieldAndKeepsTheDevicesOthers) {
  RecordingPlatform rec;
  // Every field set to something the open must either overwrite or keep.
  rec.deviceState = {0, 1, 0,    0,          1,   1,       kDtrHandshake, 1,     1,   1,
                     1, 1, 1,    kRtsToggle, 1,   0x1ABCD, 0x1234,        2048,  512, 5,
                     4, 1, 0x11, 0x13,       'E', 0x1A,    'V',           0x5678};
  // Stop bits (offset 4) and parity (offset 6) must each reach their own
  // field; a rate above 32767 is widened without its sign.
  const LineSettings settings{65535, 7, 0, 2, 0, 1, 0};
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM2", settings, 0, &h), ComOk);
  const DeviceState want{28,      65535,       1,     1,           0,
                         0,       kDtrDisable, 0,     1,           0,
                         0,       0,           0,     kRtsDisable, 0,
                         0x1ABCD, 0x1234,      2048,  512,         7,
                         1,       2,           0x11,  0x13,        static_cast<char>(0xFC),
                         0x1A,    'V',         0x5678};
  EXPECT_EQ(Only(rec, Op::SetState).state, want);
}

TEST(ComOpen, ControlFlagsFirstMatchingRowWins) {
  struct Case {
    std::uint16_t flags;
    std::uint8_t dtr, rts;
  };
  const std::vector<Case> cases = {
      {0x0000, kDtrDisable, kRtsDisable},   {0x0008, kDtrDisable, kRtsDisable},
      {0x0001, kDtrEnable, kRtsDisable},    {0x0100, kDtrEnable, kRtsDisable},
      {0x8000, kDtrHandshake, kRtsDisable}, {0x8100, kDtrEnable, kRtsDisable},
      {0x8001, kDtrEnable, kRtsDisable},    {0x0002, kDtrDisable, kRtsEnable},
      {0x0200, kDtrDisable, kRtsEnable},    {0x1000, kDtrDisable, kRtsHandshake},
      {0x2000, kDtrDisable, kRtsToggle},    {0x3000, kDtrDisable, kRtsHandshake},
      {0x2200, kDtrDisable, kRtsEnable},    {0x1002, kDtrDisable, kRtsEnable},
      {0x0103, kDtrEnable, kRtsEnable},     {0x4C74, kDtrDisable, kRtsDisable},  // meaningless bits
      {0xFFFF, kDtrEnable, kRtsEnable}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    RecordingPlatform rec;
    Handle h = 0;
    ASSERT_EQ(ComOpen("COM1", k9600_8N1, c.flags, &h), ComOk);
    const DeviceState s = Only(rec, Op::SetState).state;
    EXPECT_EQ(s.dtrControl, c.dtr);
    EXPECT_EQ(s.rtsControl, c.rts);
  }
}

// Every row of the failure table for the open, with the step that failed
// and the system's error as the backend reported it.
TEST(ComOpen, FailureTable) {
  struct Case {
    Op failing;
    std::int32_t result;
    std::size_t calls;  // how far into kConfigured it gets
    bool staysOpen;
    OpenStep step;
  };
  for (const Case& c : {Case{Op::Open, ComOpenFailed, 1, false, OpenStep::kLock},
                        Case{Op::GetState, ComGetStateFailed, 2, false, OpenStep::kSettings},
                        Case{Op::SetTimeouts, ComOpenFailed, 3, false, OpenStep::kTimeouts},
                        Case{Op::SetState, ComSetStateFailed, 4, false, OpenStep::kSettings},
                        Case{Op::SetQueues, ComOk, 5, true, OpenStep::kName}}) {
    SCOPED_TRACE(testing::OpName(c.failing));
    RecordingPlatform rec;
    rec.FailOn(c.failing);
    rec.failStep = OpenStep::kLock;  // what the backend says of its own open
    rec.error = 77;
    Handle h = 0;
    OpenFailure failure{OpenStep::kName, 0};
    EXPECT_EQ(ComOpen("COM3", k9600_8N1, 0, &h, &failure), c.result);
    EXPECT_EQ(failure.step, c.step);
    EXPECT_EQ(failure.error, c.staysOpen ? 0u : 77u);
    std::vector<Op> ops(kConfigured.begin(), kConfigured.begin() + c.calls);
    if (!c.staysOpen && c.failing != Op::Open) ops.push_back(Op::Close);
    EXPECT_EQ(rec.Ops(), ops);
    EXPECT_EQ(rec.openHandles.empty(), !c.staysOpen);
    // The handle is stored at once, whatever follows.
    EXPECT_EQ(h, c.failing == Op::Open ? kInvalidHandle : 0x100u);
    if (ops.back() == Op::Close) {
      EXPECT_EQ(rec.calls.back().handle, h);
    }
  }
}

TEST(ComClose, ClosesAndReportsAFailedCloseWithTheHandleStillOpen) {
  RecordingPlatform rec;
  Handle h = 0;
  ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &h), ComOk);
  rec.FailOn(Op::Close);
  EXPECT_EQ(ComClose(h), ComIoError);
  EXPECT_EQ(rec.openHandles.count(h), 1u);
  EXPECT_EQ(ComClose(h), ComOk);
  EXPECT_TRUE(rec.openHandles.empty());
  EXPECT_EQ(ComClose(0), ComIoError);
}

// A port opened as OpenPort does it, its calls forgotten.
class Opened : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &h), ComOk);
    rec.Clear();
    instance.port = h;
  }
  RecordingPlatform rec;
  Handle h = 0;
  DriverInstance instance{};
};

// --- ComSetReadTimeout -----------------------------------------------------

TEST_F(Opened, SetReadTimeoutReturnsThePreviousAndSetsOnlyTheConstant) {
  rec.timeouts = {3, 4, 1000, 5, 6};
  EXPECT_EQ(PreviousTimeout(h, 120), 100);
  EXPECT_EQ(rec.Ops(), (std::vector<Op>{Op::GetTimeouts, Op::SetTimeouts}));
  EXPECT_EQ(Fields(Only(rec, Op::SetTimeouts).timeouts),
            (std::vector<std::uint32_t>{3, 4, 1200, 5, 6}));
  rec.Clear();
  EXPECT_EQ(PreviousTimeout(h, 120), 120);  // the same value again: no set call
  EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::GetTimeouts});

  rec.timeouts.readTotalConstant = 9;  // below 10 ms reads back as 0
  EXPECT_EQ(PreviousTimeout(h, 5), 0);
  EXPECT_EQ(rec.timeouts.readTotalConstant, 50u);
}

TEST_F(Opened, SetReadTimeoutSaturatesInsteadOfWrapping) {
  struct Case {
    std::int32_t timeout;
    std::uint32_t ms;        // what goes to the platform
    std::int32_t readsBack;  // what the next call returns
  };
  for (const Case& c :
       {Case{0, 0, 0}, Case{1, 10, 1}, Case{214748364, 2147483640u, 214748364},
        // 10x these no longer fit 32 bits: held at the largest value
        Case{214748365, 2147483647u, 214748364}, Case{INT32_MAX, 2147483647u, 214748364},
        // Negative values pass through as 32-bit milliseconds
        Case{-1, 0xFFFFFFF6u, -1}, Case{INT32_MIN, 0x80000000u, -214748364}}) {
    SCOPED_TRACE(c.timeout);
    ComSetReadTimeout(h, c.timeout);
    EXPECT_EQ(rec.timeouts.readTotalConstant, c.ms);
    EXPECT_EQ(PreviousTimeout(h, 1), c.readsBack);
  }
}

TEST_F(Opened, SetReadTimeoutFailedPlatformCallsGiveZeroAndStop) {
  rec.FailOn(Op::GetTimeouts);
  EXPECT_EQ(PreviousTimeout(h, 120), 0);
  EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::GetTimeouts});
  rec.FailOn(Op::SetTimeouts);
  EXPECT_EQ(ComSetReadTimeout(h, 120), ComIoError);
  EXPECT_EQ(rec.timeouts.readTotalConstant, 1000u);
}

// --- ComPurgeInput ---------------------------------------------------------

TEST_F(Opened, PurgeDrainsIn512ByteReadsAt50MsAndRestores) {
  struct Case {
    const char* what;
    std::size_t queued;
    Op failing;  // Op::Open: nothing fails
    int failAt;
    std::uint32_t before;  // the read time-out in force
    ComResult result;
    std::vector<std::size_t> reads;  // bytes each read got
    std::uint32_t after;
    int sets;  // time-outs set: the drain's 50 ms, then the restore
  };
  const std::vector<Case> cases = {
      {"empty queue: no read", 0, Op::Open, 1, 1000, ComOk, {}, 1000, 0},
      {"1100 bytes", 1100, Op::Open, 1, 1000, ComOk, {512, 512, 76}, 1000, 2},
      {"1024 bytes: ends empty", 1024, Op::Open, 1, 1000, ComOk, {512, 512, 0}, 1000, 2},
      {"ClearErrors fails", 5, Op::ClearErrors, 1, 1000, ComOk, {5}, 1000, 2},
      {"ClearErrors fails, empty", 0, Op::ClearErrors, 1, 1000, ComOk, {0}, 1000, 2},
      {"second read fails", 1100, Op::Read, 2, 1000, ComIoError, {512, 0}, 1000, 2},
      {"below 10 ms: not restored", 1, Op::Open, 1, 5, ComOk, {1}, 50, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec.Clear();
    rec.input.clear();
    rec.timeouts.readTotalConstant = c.before;
    rec.Feed(Bytes(c.queued, 0xAA));
    if (c.failing != Op::Open) rec.FailOn(c.failing, c.failAt);
    EXPECT_EQ(ComPurgeInput(h), c.result);
    const std::vector<Call> reads = CallsOf(rec, Op::Read);
    std::vector<std::size_t> got;
    for (const Call& r : reads) {
      got.push_back(r.bytes.size());
      EXPECT_EQ(r.count, 512u);
      EXPECT_EQ(r.readTimeoutMs, 50u);
    }
    EXPECT_EQ(got, c.reads);
    if (c.reads.empty()) {
      EXPECT_EQ(rec.Ops(), std::vector<Op>{Op::ClearErrors});
    }
    if (c.result == 0) {
      EXPECT_TRUE(rec.input.empty());
    }
    EXPECT_EQ(rec.Count(Op::SetTimeouts), c.sets);
    if (c.sets == 2) {
      EXPECT_EQ(rec.calls.back().op, Op::SetTimeouts);
    }
    EXPECT_EQ(rec.timeouts.readTotalConstant, c.after);
  }
}

// A line that carries noise without end keeps every read of the drain full:
// the drain ends all the same once the read time-out in force has passed
// (within one more read), and restores it. A line whose noise leaves room
// in a read ends at that read, as before.
TEST_F(Opened, PurgeOfANoisyLineEndsAfterAboutOneReadTimeout) {
  struct Case {
    std::uint32_t bytesPerSecond;
    std::uint32_t readTimeoutMs;
    std::uint64_t earliest, latest;  // when the purge returns
  };
  for (const Case& c : {Case{11000, 1200, 1200, 1250}, Case{11000, 100, 100, 150},
                        Case{200000, 1000, 1000, 1003}, Case{5000, 1000, 50, 150}}) {
    SCOPED_TRACE(::testing::Message() << c.bytesPerSecond << " B/s, " << c.readTimeoutMs << " ms");
    rec.clockMs = 1000;
    rec.input.clear();
    rec.Noise(0, 3600000, c.bytesPerSecond);
    rec.timeouts.readTotalConstant = c.readTimeoutMs;
    rec.Clear();
    EXPECT_EQ(ComPurgeInput(h), ComOk);
    EXPECT_GE(rec.clockMs - 1000, c.earliest);
    EXPECT_LE(rec.clockMs - 1000, c.latest);
    EXPECT_EQ(rec.timeouts.readTotalConstant, c.readTimeoutMs);
  }
  rec.Noise(0, 0, 0);
}

// --- ComWriteAll, SendAll --------------------------------------------------

TEST_F(Opened, WriteAllAndSendAllResults) {
  std::int32_t written = -1;
  EXPECT_EQ(ComWriteAll(h, "abc", 3, &written), ComOk);
  EXPECT_EQ(written, 3);
  EXPECT_EQ(rec.Writes(), std::vector<Bytes>{Bytes({'a', 'b', 'c'})});
  EXPECT_EQ(ComWriteAll(h, "", 0, &written), ComOk);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(ComWriteAll(h, "abc", 3, nullptr), ComOk);
  written = -1;
  EXPECT_EQ(ComWriteAll(h, "abc", -1, &written), ComIoError);
  EXPECT_EQ(written, -1);
  EXPECT_EQ(rec.Count(Op::Write), 3);

  rec.writeLimit = 2;
  EXPECT_EQ(ComWriteAll(h, "abc", 3, &written), ComShortWrite);
  EXPECT_EQ(written, 2);
  EXPECT_NE(Line(instance.port).SendAll("req", 3), ComOk);
  rec.writeLimit = UINT32_MAX;

  written = -1;
  rec.FailOn(Op::Write);
  EXPECT_EQ(ComWriteAll(h, "abc", 3, &written), ComIoError);
  EXPECT_EQ(written, -1);  // not written on a failed write
  rec.FailOn(Op::Write);
  EXPECT_NE(Line(instance.port).SendAll("req", 3), ComOk);
  EXPECT_EQ(Line(instance.port).SendAll("req", 3), ComOk);
}

// --- ComReadExact, ReceiveExact --------------------------------------------

TEST_F(Opened, ReadExactAsksForTheRemainderEachTime) {
  struct Case {
    const char* what;
    std::string input;
    std::deque<std::uint32_t> deliveries;
    std::int32_t count;
    std::int32_t result;
    std::int32_t received;
    std::vector<std::uint32_t> asked;  // the count of each read
  };
  const std::vector<Case> cases = {
      {"all at once", "abc", {}, 3, ComOk, 3, {3}},
      {"in pieces", "abc", {1, 2}, 3, ComOk, 3, {3, 2}},
      {"one by one", "abc", {1, 1, 1}, 3, ComOk, 3, {3, 2, 1}},
      {"nothing arrives", "", {}, 3, ComIoError, 0, {3}},
      {"two of three", "ab", {}, 3, ComIoError, 2, {3, 1}},
      {"count zero", "abc", {}, 0, ComIoError, 0, {0}},
      {"more waiting than asked", "abcdef", {}, 3, ComOk, 3, {3}},
      {"the largest count", std::string(65535, 'x'), {}, 65535, ComOk, 65535, {65535}},
      {"beyond one request: unread", std::string(70000, 'x'), {}, 65536, ComIoError, 0, {}},
      {"negative count: unread", "abc", {}, -1, ComIoError, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const bool throughReceive : {false, true}) {
      rec.Clear();
      rec.input.clear();
      rec.Feed(c.input);
      rec.deliveries = c.deliveries;
      const std::size_t count = static_cast<std::size_t>(std::max(c.count, 0));
      std::vector<char> buf(count + 16, '#');
      if (throughReceive) {
        EXPECT_EQ(Line(instance.port).ReceiveExact(buf.data(), c.count) == ComOk,
                  c.result == ComOk);
      } else {
        std::int32_t received = -1;
        EXPECT_EQ(ComReadExact(h, buf.data(), c.count, &received), c.result);
        EXPECT_EQ(received, c.received);
        if (c.result == ComOk) {
          EXPECT_EQ(std::string(buf.data(), count), c.input.substr(0, count));
        }
      }
      std::vector<std::uint32_t> asked;
      for (const Call& r : CallsOf(rec, Op::Read)) asked.push_back(r.count);
      EXPECT_EQ(asked, c.asked);
      EXPECT_EQ(std::count(buf.begin() + count, buf.end(), '#'), 16) << "written past the count";
    }
  }
}

TEST_F(Opened, FailedReadKeepsWhatArrivedBefore) {
  rec.Feed("abc");
  rec.deliveries = {2};
  rec.FailOn(Op::Read, 2);
  char buf[3] = {};
  std::int32_t received = -1;
  EXPECT_EQ(ComReadExact(h, buf, 3, &received), ComIoError);
  EXPECT_EQ(received, 2);
  EXPECT_EQ(std::memcmp(buf, "ab", 2), 0);
  EXPECT_EQ(ComReadExact(h, buf, 1, nullptr), ComOk);
}

// --- Settling the line after a late reply ----------------------------------

// A request goes out at 0 ms and its 12-byte reply comes in the pieces of
// the case; the read gives up after its time-out (1000 ms). The next
// request goes out once the owed bytes have come and the line has been
// quiet for the gap (10 ms), and at the latest at the deadline: the
// time-out, one more read time-out, the wire time of the owed bytes and of
// a request, the gap and a margin of 25 ms. Its own reply is read, nothing of the late one is
// left, and the time-outs are as before. A reply in time costs nothing.
TEST_F(Opened, TheNextRequestWaitsForALateReplyAndDiscardsIt) {
  struct Piece {
    std::uint64_t at;
    std::string bytes;
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    std::uint64_t nextAt;  // when the next request goes out
  };
  const std::string reply = "#late-reply#";
  const std::string head = reply.substr(0, 5), tail = reply.substr(5);
  // 9600 baud 8N1: 31 characters take 33 ms, 26 take 28 ms.
  const std::vector<Case> cases = {
      {"in time", {{300, reply}}, 300},
      {"1.1 time-outs late", {{1100, reply}}, 1110},
      {"1.5 time-outs late", {{1500, reply}}, 1510},
      {"2 time-outs late", {{2000, reply}}, 2010},
      {"never", {}, 1000 + 1000 + 33 + 10 + 25},
      {"late, in two pieces 40 ms apart", {{1100, head}, {1140, tail}}, 1150},
      {"late, with noise after it", {{1100, reply}, {1105, std::string(20, '~')}}, 1115},
      {"half in time, the rest late", {{500, head}, {2300, tail}}, 2310},
      {"half in time, the rest never", {{500, head}}, 2000 + 1000 + 28 + 10 + 25},
  };
  const Timeouts before = rec.timeouts;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    rec.clockMs = 0;
    rec.input.clear();
    rec.Clear();
    int writes = 0;
    rec.peer = [&](const Bytes&) {
      if (writes++ == 0) {
        for (const Piece& piece : c.pieces) rec.At(piece.at, piece.bytes);
      } else {
        rec.Feed("fresh-reply!");
      }
    };
    char buffer[12];
    ASSERT_EQ(Line(instance.port).SendAll("first", 5), ComOk);
    const bool inTime = Line(instance.port).ReceiveExact(buffer, 12) == ComOk;
    std::size_t early = 0;
    for (const Piece& piece : c.pieces) early += piece.at < 1000 ? piece.bytes.size() : 0;
    EXPECT_EQ(inTime, early == reply.size());
    const std::size_t mark = rec.calls.size();
    ASSERT_EQ(Line(instance.port).SendAll("second", 6), ComOk);
    const std::vector<Call> writesMade = CallsOf(rec, Op::Write);
    ASSERT_EQ(writesMade.size(), 2u);
    EXPECT_EQ(writesMade[1].atMs, c.nextAt);
    if (inTime) {
      const std::vector<Op> ops = rec.Ops();
      EXPECT_EQ(std::vector<Op>(ops.begin() + static_cast<std::ptrdiff_t>(mark), ops.end()),
                (std::vector<Op>{Op::ClearErrors, Op::Write}));
    }
    ASSERT_EQ(Line(instance.port).ReceiveExact(buffer, 12), ComOk);
    EXPECT_EQ(std::string(buffer, 12), "fresh-reply!");
    EXPECT_TRUE(rec.input.empty());
    EXPECT_EQ(Fields(rec.timeouts), Fields(before));
  }
}

TEST(SendAllReceiveExact, NullPortFails) {
  RecordingPlatform rec;
  rec.Feed("abc");
  DriverInstance instance{};
  char buf[3];
  EXPECT_NE(Line(instance.port).SendAll("req", 3), ComOk);
  EXPECT_NE(Line(instance.port).ReceiveExact(buf, 3), ComOk);
  EXPECT_EQ(Only(rec, Op::Write).handle, 0u);
  EXPECT_EQ(rec.input.size(), 3u);
}

}  // namespace
}  // namespace zelqd::serial
