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
  for (const Case& c : {Case{11000, 1200, 1150, 1200}, Case{11000, 100, 50, 100},
                        Case{200000, 1000, 950, 1000}, Case{5000, 1000, 50, 150}}) {
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

// --- SendAll ---------------------------------------------------------------

TEST_F(Opened, SendAllResults) {
  EXPECT_EQ(TransferPort(h).SendAll("abc", 3), ComOk);
  EXPECT_EQ(rec.Writes(), std::vector<Bytes>{Bytes({'a', 'b', 'c'})});
  EXPECT_EQ(TransferPort(h).SendAll("", 0), ComOk);
  EXPECT_EQ(TransferPort(h).SendAll("abc", -1), ComIoError);
  EXPECT_EQ(rec.Count(Op::Write), 2);  // a negative count reaches no write

  rec.writeLimit = 2;
  EXPECT_EQ(TransferPort(h).SendAll("abc", 3), ComShortWrite);
  rec.writeLimit = UINT32_MAX;

  rec.FailOn(Op::Write);
  EXPECT_EQ(TransferPort(h).SendAll("req", 3), ComIoError);
  EXPECT_EQ(TransferPort(h).SendAll("req", 3), ComOk);
}

// --- ReceiveExact ----------------------------------------------------------

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
    rec.Clear();
    rec.input.clear();
    rec.Feed(c.input);
    rec.deliveries = c.deliveries;
    const std::size_t count = static_cast<std::size_t>(std::max(c.count, 0));
    std::vector<char> buf(count + 16, '#');
    std::int32_t received = -1;
    EXPECT_EQ(TransferPort(h).ReceiveExact(buf.data(), c.count, &received), c.result);
    EXPECT_EQ(received, c.received);
    if (c.result == ComOk) {
      EXPECT_EQ(std::string(buf.data(), count), c.input.substr(0, count));
    }
    std::vector<std::uint32_t> asked;
    for (const Call& r : CallsOf(rec, Op::Read)) asked.push_back(r.count);
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(std::count(buf.begin() + count, buf.end(), '#'), 16) << "written past the count";
  }
}

TEST_F(Opened, FailedReadKeepsWhatArrivedBefore) {
  rec.Feed("abc");
  rec.deliveries = {2};
  rec.FailOn(Op::Read, 2);
  char buf[3] = {};
  std::int32_t received = -1;
  EXPECT_EQ(TransferPort(h).ReceiveExact(buf, 3, &received), ComIoError);
  EXPECT_EQ(received, 2);
  EXPECT_EQ(std::memcmp(buf, "ab", 2), 0);
  EXPECT_EQ(TransferPort(h).ReceiveExact(buf, 1), ComOk);
}

// --- Settling the line after a late reply ----------------------------------

struct Piece {
  std::uint64_t at;  // after the request it answers
  std::string bytes;
};

// Transfer A sends its request at 0 ms (read time-out 1000 ms, 9600 8N1,
// replies of 12 bytes: 13 ms on the wire, a request 20 ms) and retries
// once when its attempt fails; transfer B follows after the host's pause.
// Whether and how long the line is settled before the retry and before B
// shows in the times of their requests:
// - no byte at all: the retry goes out at once;
// - part of a reply, or a reply refused: the retry waits for the rest and a
//   quiet gap of 10 ms, at the latest until the failure plus one read
//   time-out, the wire time of the owed bytes and of a request and 25 ms;
// - after a transfer in which an attempt got no byte, B waits for the
//   replies still owed and the gap, at the latest until A's last request,
//   or the last reply A took if that came later (a remote that answers one
//   request after the other), plus the wire time of the request, two read
//   time-outs, the wire time of a reply and 25 ms; after a pause that long,
//   not at all.
// B's own reply is always the one it reads.
TEST_F(Opened, WhenTheLineIsSettledBeforeARetryAndBeforeTheNextTransfer) {
  struct Case {
    const char* what;
    std::vector<Piece> first, retry;  // the replies to A's two requests
    std::uint64_t pause;              // from A's end to B's request
    std::uint64_t retryAt;            // 0: A took its first reply
    std::uint64_t nextAt;             // B's request
    const char* retryTakes;           // the reply A's retry read
  };
  const std::string late = "#late-reply#", other = "#retry-reply";
  const std::vector<Case> cases = {
      {"in time", {{300, late}}, {}, 0, 0, 300, ""},
      {"no byte, the retry answered at once", {}, {{0, other}}, 0, 1000, 3058, "#retry-reply"},
      {"no byte, the first reply late during the retry",
       {{1500, late}},
       {{600, other}},
       0,
       1000,
       1610,
       "#late-reply#"},
      {"no byte, the first reply late during the retry, the retry's two time-outs after it",
       {{1500, late}},
       {{2500, other}},
       0,
       1000,
       3510,
       "#late-reply#"},
      {"no byte, then a pause of two time-outs",
       {},
       {{0, other}},
       2100,
       1000,
       3100,
       "#retry-reply"},
      {"no byte twice", {}, {}, 0, 1000, 3058, ""},
      {"part of the reply, the rest late",
       {{500, late.substr(0, 5)}, {2300, late.substr(5)}},
       {{0, other}},
       0,
       2310,
       2310,
       "#retry-reply"},
      {"part of the reply, the rest never",
       {{500, late.substr(0, 5)}},
       {{0, other}},
       0,
       2000 + 1000 + 28 + 25,
       3053,
       "#retry-reply"},
      {"a refused reply, noise after it",
       {{100, "#bad-reply!#"}, {105, "~~~~"}},
       {{0, other}},
       0,
       120,
       120,
       "#retry-reply"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingPlatform model;  // a clock and a line of the case's own
    Handle port = 0;
    ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &port), ComOk);
    model.timeouts.readTotalConstant = 1000;
    model.Clear();
    int writes = 0;
    bool inB = false;
    model.peer = [&](const Bytes&) {
      const std::vector<Piece>& pieces = writes++ == 0 ? c.first : c.retry;
      if (inB) {
        model.Feed("fresh-reply!");
      } else {
        for (const Piece& piece : pieces) model.At(model.clockMs + piece.at, piece.bytes);
      }
    };
    char buffer[12];
    {
      TransferPort a(port);
      a.ExpectReply(12);
      ASSERT_EQ(a.SendAll("first", 5), ComOk);
      bool ok = a.ReceiveExact(buffer, 12) == ComOk;
      if (ok && std::string(buffer, 12) != late) {
        a.ReplyMayFollow(0);  // refused
        ok = false;
      }
      if (!ok) {
        ASSERT_EQ(a.SendAll("first", 5), ComOk);
        ok = a.ReceiveExact(buffer, 12) == ComOk;
        if (ok) {
          EXPECT_EQ(std::string(buffer, 12), c.retryTakes);
        }
      }
      a.EndTransfer(ok);
    }
    model.clockMs += c.pause;
    inB = true;
    TransferPort b(port);
    b.ExpectReply(12);
    ASSERT_EQ(b.SendAll("second", 6), ComOk);
    ASSERT_EQ(b.ReceiveExact(buffer, 12), ComOk);
    EXPECT_EQ(std::string(buffer, 12), "fresh-reply!");
    b.EndTransfer(true);
    const std::vector<Call> made = CallsOf(model, Op::Write);
    ASSERT_EQ(made.size(), c.retryAt != 0 ? 3u : 2u);
    if (c.retryAt != 0) {
      EXPECT_EQ(made[1].atMs, c.retryAt);
    }
    EXPECT_EQ(made.back().atMs, c.nextAt);
    EXPECT_EQ(model.timeouts.readTotalConstant, 1000u);
    EXPECT_EQ(model.timeouts.readInterval, 0u);
    ComClose(port);
  }
}

// Once a read of a reply comes back short, the attempt's reply gets a
// deadline: the read time-out (1000 ms) plus twice the wire time of the
// whole reply (12 bytes at 9600 8N1: 13 ms) after that read ended, without
// the read time-out when an earlier portion had come whole. A reply in
// pieces that keeps within it completes, a trickle ends there, and the
// read time-out in force is as before.
TEST_F(Opened, AReplyThatTricklesInEndsAtTheAttemptsDeadline) {
  struct Case {
    const char* what;
    std::int32_t head;  // bytes read whole first (a write's first portion)
    std::vector<Piece> pieces;
    bool complete;
    std::uint64_t endsAt;
  };
  const auto trickle = [](std::uint64_t every, int from) {
    std::vector<Piece> pieces;
    for (int i = from; i < 12; ++i)
      pieces.push_back(
          {10 * from + every * (i - from + 1), std::string(1, static_cast<char>('a' + i))});
    return pieces;
  };
  const std::vector<Case> cases = {
      {"all at once", 0, {{100, "abcdefghijkl"}}, true, 100},
      {"two pieces 1.5 time-outs apart", 0, {{100, "abcde"}, {1600, "fghijkl"}}, true, 1600},
      {"a byte every 50 ms", 0, trickle(50, 0), true, 600},
      {"a byte every 300 ms", 0, trickle(300, 0), false, 2026},
      {"a byte every 600 ms", 0, trickle(600, 0), false, 2026},
      {"after a whole first portion, a byte every 400 ms", 3, trickle(400, 3), false, 1036},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingPlatform model;
    Handle port = 0;
    ASSERT_EQ(ComOpen("COM1", k9600_8N1, 0, &port), ComOk);
    model.timeouts.readTotalConstant = 1000;
    if (c.head > 0) model.At(10, std::string("abcdefghijkl").substr(0, 3));
    for (const Piece& piece : c.pieces) model.At(piece.at, piece.bytes);
    TransferPort line(port);
    line.ExpectReply(12);
    char buffer[12];
    if (c.head > 0) {
      ASSERT_EQ(line.ReceiveExact(buffer, c.head), ComOk);
    }
    std::int32_t got = 0;
    EXPECT_EQ(line.ReceiveExact(buffer + c.head, 12 - c.head, &got) == ComOk, c.complete);
    EXPECT_EQ(model.clockMs, c.endsAt);
    if (c.complete) {
      EXPECT_EQ(std::string(buffer, 12), "abcdefghijkl");
    }
    EXPECT_EQ(model.timeouts.readTotalConstant, 1000u);
    line.EndTransfer(c.complete);
    ComClose(port);
  }
}

TEST(SendAllReceiveExact, NullPortFails) {
  RecordingPlatform rec;
  rec.Feed("abc");
  DriverInstance instance{};
  char buf[3];
  EXPECT_NE(TransferPort(instance.port).SendAll("req", 3), ComOk);
  EXPECT_NE(TransferPort(instance.port).ReceiveExact(buf, 3), ComOk);
  EXPECT_EQ(Only(rec, Op::Write).handle, 0u);
  EXPECT_EQ(rec.input.size(), 3u);
}

}  // namespace
}  // namespace zelqd::serial
