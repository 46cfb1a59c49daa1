// The POSIX backend on real pseudo-terminals: what the kernel does.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pty.h"
#include "serial/com.h"
#include "serial/posix/handles.h"

namespace zelqd::serial {
namespace {

using testing::KernelTerminalCalls;
using testing::kNoKernelTerminalCalls;
using testing::Pty;
using testing::Stopwatch;

constexpr LineSettings k9600_8N1{9600, 8, 0, 0, 0, 0, 0};
constexpr std::uint32_t kMax = 0xFFFFFFFFu;

const Platform& P() { return NativePlatform(); }

// The read time-out that was in force when ComSetReadTimeout set another
// (units of 10 ms; 0 when a platform call failed).
std::int32_t PreviousTimeout(Handle handle, std::int32_t timeout) {
  std::int32_t previous = -1;
  ComSetReadTimeout(handle, timeout, &previous);
  return previous;
}

Handle OpenRaw(const char* name) {
  OpenStep step = OpenStep::kName;
  return P().open(name, &step);
}

// Timing bounds: a wait must never end early, and may end late by this
// much on a loaded machine.
constexpr double kLate = 150.0;

void Report(const char* what, double ms) { std::printf("[ measured ] %s: %.2f ms\n", what, ms); }

// The device opened and configured as OpenPort does it.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok()) << std::strerror(errno);
    ASSERT_EQ(ComOpen(pty.path(), k9600_8N1, 8, &h), ComOk) << std::strerror(errno);
  }
  void TearDown() override {
    if (h != 0) {
      EXPECT_TRUE(P().close(P().find(h)));
    }
  }
  void SetTimeouts(Timeouts t) { ASSERT_TRUE(P().setTimeouts(P().find(h), &t)); }
  // Reads with the handle's time-outs; returns the bytes, or "<failed>".
  std::string Read(std::uint32_t count, double* ms = nullptr) {
    std::string buf(count, '\0');
    std::uint32_t got = 0;
    Stopwatch sw;
    const bool ok = P().read(P().find(h), buf.data(), count, &got);
    if (ms != nullptr) *ms = sw.ms();
    if (!ok) return "<failed>";
    buf.resize(got);
    return buf;
  }
  // The far end sends these pieces, each after its delay from the start.
  std::thread SendLater(std::vector<std::pair<int, std::string>> pieces) {
    return std::thread([this, pieces] {
      Stopwatch sw;
      for (const auto& [at, bytes] : pieces) {
        const double wait = at - sw.ms();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(wait));
        pty.Send(bytes);
      }
    });
  }
  // Waits until the device counts n waiting bytes (the kernel moves them
  // from the far end a moment after they were sent).
  bool Waiting(std::uint32_t n) {
    Stopwatch sw;
    std::uint32_t waiting = 0;
    while (sw.ms() < 1000) {
      if (!P().clearErrors(P().find(h), &waiting)) return false;
      if (waiting == n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  Pty pty;
  Handle h = 0;
};

// --- Open and close ----------------------------------------------------------

// Opens the device as an unprivileged user in a child process; returns 0 or
// the errno of the failed open (100: could not drop privileges).
int OpenAsNobody(const char* path) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST(PosixOpen, ExclusiveAlsoForRootAndReleasedAtClose) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  const Handle a = OpenRaw(pty.path());
  ASSERT_NE(a, kInvalidHandle) << std::strerror(errno);
  ASSERT_NE(a, 0u);
  errno = 0;
  EXPECT_EQ(OpenRaw(pty.path()), kInvalidHandle);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_EQ(OpenRaw(pty.relative().c_str()), kInvalidHandle);  // same device, other name

  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chmod(pty.path(), 0666), 0);
    const int held = OpenAsNobody(pty.path());
    if (held == 100) {
      std::printf("[ skipped  ] open by another user: cannot drop privileges here\n");
    } else {
      EXPECT_EQ(held, EBUSY) << "another program's open is not refused (TIOCEXCL)";
    }
  }
  EXPECT_TRUE(P().close(P().find(a)));
  EXPECT_TRUE(P().close(P().find(a)));  // closed: the handle names no port any more
  if (root) {
    const int after = OpenAsNobody(pty.path());
    if (after != 100) {
      EXPECT_EQ(after, 0) << "TIOCEXCL outlived the close";
    }
  }
  const Handle b = OpenRaw(pty.relative().c_str());
  ASSERT_NE(b, kInvalidHandle);
  EXPECT_NE(b, a);
  char c;
  std::uint32_t n = 0;
  EXPECT_FALSE(P().read(P().find(a), &c, 1, &n));  // the old handle never reaches the new port
  EXPECT_TRUE(P().close(P().find(b)));
}

// Each step of an open that can fail: the step and the system's error are
// reported, and nothing stays open, so the same open gets as far again.
TEST(PosixOpen, FailuresTellTheStepAndTheErrorAndLeaveNothingOpen) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Handle held = 0;
  ASSERT_EQ(ComOpen(pty.path(), k9600_8N1, 8, &held), ComOk);
  Pty free;
  char file[] = "/tmp/zelqd-serial-XXXXXX";  // opens, but is no terminal
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string tooLong = "/" + std::string(80, 'x');
  LineSettings noRate = k9600_8N1;
  noRate.baudRate = 0;  // would hang the line up

  struct Case {
    std::string name;
    LineSettings settings;
    std::int32_t result;
    OpenStep step;
    int error;
  };
  const std::vector<Case> cases = {
      {tooLong, k9600_8N1, ComOpenFailed, OpenStep::kName, ENAMETOOLONG},
      {"", k9600_8N1, ComOpenFailed, OpenStep::kName, ENOENT},
      {"ttyNoSuchDevice9", k9600_8N1, ComOpenFailed, OpenStep::kOpen, ENOENT},
      {pty.path(), k9600_8N1, ComOpenFailed, OpenStep::kLock, EWOULDBLOCK},
      {file, k9600_8N1, ComGetStateFailed, OpenStep::kSettings, ENOTTY},
      {free.path(), noRate, ComSetStateFailed, OpenStep::kSettings, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int twice = 0; twice < 2; ++twice) {
      Handle h = 0;
      OpenFailure failure{OpenStep::kTimeouts, 0};
      EXPECT_EQ(ComOpen(c.name.c_str(), c.settings, 8, &h, &failure), c.result);
      EXPECT_EQ(failure.step, c.step);
      EXPECT_EQ(failure.error, static_cast<std::uint32_t>(c.error)) << std::strerror(c.error);
    }
  }
  unlink(file);
  Handle h = 0;
  ASSERT_EQ(ComOpen(free.path(), k9600_8N1, 8, &h), ComOk);
  EXPECT_EQ(ComClose(h), ComOk);
  EXPECT_EQ(ComClose(held), ComOk);
}

TEST(PosixOpen, NullDeviceTakesWritesAndEndsReadsAtOnce) {
  Handle a = 0;
  Handle b = 0;
  ASSERT_EQ(ComOpen("NUL", k9600_8N1, 8, &a), ComOk);
  ASSERT_EQ(ComOpen("NUL", k9600_8N1, 8, &b), ComOk);  // not a device anyone holds
  EXPECT_EQ(PreviousTimeout(a, 120), 0);               // no line calls on it
  DeviceState state;
  EXPECT_FALSE(P().getState(P().find(a), &state));
  DriverInstance instance{};
  instance.port = a;
  EXPECT_EQ(TransferPort(instance.port).SendAll("request", 7), ComOk);
  char buf[12];
  Stopwatch sw;
  EXPECT_NE(TransferPort(instance.port).ReceiveExact(buf, 12), ComOk);
  EXPECT_LT(sw.ms(), 50.0);
  EXPECT_EQ(ComClose(a), ComOk);
  EXPECT_EQ(ComClose(b), ComOk);
}

TEST(PosixOpen, NullHandleFailsEveryCall) {
  char buf[4] = {};
  std::uint32_t n = 0;
  DeviceState state;
  Timeouts t;
  EXPECT_FALSE(P().read(P().find(0), buf, 4, &n));
  EXPECT_FALSE(P().write(P().find(0), buf, 4, &n));
  EXPECT_FALSE(P().getState(P().find(0), &state));
  EXPECT_FALSE(P().setState(P().find(0), &state));
  EXPECT_FALSE(P().getTimeouts(P().find(0), &t));
  EXPECT_FALSE(P().setTimeouts(P().find(0), &t));
  EXPECT_FALSE(P().setQueues(P().find(0), 1200, 1200));
  EXPECT_FALSE(P().clearErrors(P().find(0), &n));
  // A handle the table does not know names no open port: nothing to close.
  EXPECT_TRUE(P().close(P().find(0)));
  EXPECT_TRUE(P().close(P().find(kInvalidHandle)));
  DriverInstance instance{};
  EXPECT_NE(TransferPort(instance.port).SendAll(buf, 4), ComOk);
  EXPECT_NE(TransferPort(instance.port).ReceiveExact(buf, 4), ComOk);
}

// --- Line settings -------------------------------------------------------

// Every framing and control mode opens at the rate given, even on a device
// without modem lines, and reads back as applied, with the open's time-outs
// in force.
void EveryControlModeOpensAndReadsBack(const char* path, const LineSettings& ls) {
  const std::uint16_t flags[] = {0x0000, 0x0101, 0x8000, 0x0202, 0x1000, 0x2000, 0xFFFF};
  for (const std::uint16_t f : flags) {
    SCOPED_TRACE(::testing::Message() << ls.baudRate << " baud, flags " << f);
    Handle x = 0;
    ASSERT_EQ(ComOpen(path, ls, f, &x), ComOk);
    DeviceState s;
    s.length = 28;
    ASSERT_TRUE(P().getState(P().find(x), &s));
    EXPECT_EQ(s.length, 28u);
    EXPECT_EQ(s.baudRate, ls.baudRate);
    EXPECT_EQ(s.stopBits, ls.stopBits);  // a pseudo-terminal keeps these, not the size or parity
    EXPECT_EQ(s.binary, 1);              // as applied: termios has no such flag
    EXPECT_EQ(static_cast<unsigned char>(s.errorChar), 0xFC);
    Timeouts t;
    ASSERT_TRUE(P().getTimeouts(P().find(x), &t));
    EXPECT_EQ(t.readTotalConstant, 1000u);
    EXPECT_EQ(ComClose(x), ComOk);
  }
}

TEST_F(PtyTest, EveryControlModeOpensAndReadsBackAsApplied) {
  ASSERT_EQ(ComClose(h), ComOk);
  h = 0;
  const LineSettings settings[] = {{9600, 8, 0, 0, 0, 0, 0},
                                   {9600, 7, 0, 0, 0, 2, 0},
                                   {19200, 8, 0, 2, 0, 1, 0},
                                   {1200, 5, 0, 1, 0, 3, 0}};
  for (const LineSettings& ls : settings) EveryControlModeOpensAndReadsBack(pty.path(), ls);
}

// A rate outside the kernel's table (set through termios2).
TEST_F(PtyTest, EveryControlModeOpensAndReadsBackAtARateOutsideTheTable) {
  if (!KernelTerminalCalls())
    GTEST_SKIP() << "65535 baud needs termios2 (TCGETS2/TCSETS2): " << kNoKernelTerminalCalls;
  ASSERT_EQ(ComClose(h), ComOk);
  h = 0;
  EveryControlModeOpensAndReadsBack(pty.path(), {65535, 6, 0, 0, 0, 4, 0});
}

// --- Reads -------------------------------------------------------------------

// Each read with its time-outs, the far end's bytes (at -1: sent and
// waiting before the read starts), and when the read may return.
TEST_F(PtyTest, ReadsEndWhenTheirBytesArriveOrTheirTimeOutIsUp) {
  constexpr double kNever = 1e9;
  struct Case {
    const char* what;
    Timeouts t;
    std::vector<std::pair<int, std::string>> pieces;
    std::uint32_t count;
    std::string got;
    double earliest, latest;
  };
  const std::vector<Case> cases = {
      {"5 bytes sent after 50 ms", {0, 0, 2000, 0, 0}, {{50, "HELLO"}}, 5, "HELLO", 45, 50 + kLate},
      {"empty, time-out 20 ms", {0, 0, 20, 0, 0}, {}, 12, "", 20, 20 + kLate},
      {"empty, time-out 250 ms", {0, 0, 250, 0, 0}, {}, 12, "", 250, 250 + kLate},
      {"time-out with 2 of 3 bytes", {0, 0, 100, 0, 0}, {{-1, "ab"}}, 3, "ab", 100, 100 + kLate},
      {"6 bytes in three pieces over 60 ms",
       {0, 0, 1000, 0, 0},
       {{0, "AB"}, {30, "CD"}, {60, "EF"}},
       6,
       "ABCDEF",
       55,
       60 + kLate},
      // Interval MAX, totals 0: what is waiting, at once.
      {"interval MAX, nothing waiting", {kMax, 0, 0, 0, 0}, {}, 8, "", 0, 20},
      {"interval MAX, 3 waiting", {kMax, 0, 0, 0, 0}, {{-1, "xyz"}}, 8, "xyz", 0, 20},
      // Interval and multiplier MAX: the first bytes, as soon as they come.
      {"first bytes at 40 ms", {kMax, kMax, 1000, 0, 0}, {{40, "ab"}}, 8, "ab", 35, 40 + kLate},
      // Ends 30 ms after the last byte, long before the total.
      {"interval 30 ms", {30, 0, 2000, 0, 0}, {{0, "a"}, {10, "b"}}, 8, "ab", 35, 40 + kLate},
      {"multiplier 2 x 60 ms", {0, 60, 0, 0, 0}, {}, 2, "", 120, 120 + kLate},
      // All zero: no time-out; the read waits for its count.
      {"no time-out", {0, 0, 0, 0, 0}, {{150, "wait"}}, 4, "wait", 145, kNever},
      // Cut to 32 bits or to poll's int these would be 5 ms or negative.
      {"2 x 2^31 + 5 ms", {0, 0x80000000u, 5, 0, 0}, {{50, "ok"}}, 2, "ok", 45, kNever},
      {"2^31 - 1 ms", {0, 0, 0x7FFFFFFFu, 0, 0}, {{30, "ab"}}, 2, "ab", 25, kNever},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetTimeouts(c.t);
    std::vector<std::pair<int, std::string>> later;
    for (const auto& piece : c.pieces) {
      if (piece.first >= 0) {
        later.push_back(piece);
      } else {
        ASSERT_TRUE(pty.Send(piece.second));
        ASSERT_TRUE(Waiting(static_cast<std::uint32_t>(piece.second.size())));
      }
    }
    std::thread far = SendLater(later);
    double ms = 0;
    EXPECT_EQ(Read(c.count, &ms), c.got);
    far.join();
    Report(c.what, ms);
    EXPECT_GE(ms, c.earliest);  // never early
    EXPECT_LT(ms, c.latest);
  }
}

// A read that follows a read looks at the device before it waits: the rest
// of a reply that came in one piece is taken at once, and bytes still on
// their way are waited for as by any read.
TEST_F(PtyTest, ReadAfterAReadTakesWaitingBytesAndWaitsForLateOnes) {
  SetTimeouts({0, 0, 1000, 0, 0});
  ASSERT_TRUE(pty.Send("OK66"));
  ASSERT_TRUE(Waiting(4));
  double ms = 0;
  EXPECT_EQ(Read(2, &ms), "OK");
  EXPECT_LT(ms, 20.0);
  EXPECT_EQ(Read(2, &ms), "66");
  EXPECT_LT(ms, 20.0);
  std::thread far = SendLater({{50, "XY"}});
  EXPECT_EQ(Read(2, &ms), "XY");
  far.join();
  EXPECT_GE(ms, 45.0);
  EXPECT_LT(ms, 50.0 + kLate);
}

void NoteSignal(int) {}

TEST_F(PtyTest, InterruptedWaitsKeepTheirDeadline) {
  if (!KernelTerminalCalls())
    GTEST_SKIP()
        << "a signal to the reading thread (pthread_kill) makes the emulator's pthread_join "
           "fail with EDEADLK: "
        << kNoKernelTerminalCalls;
  struct sigaction act {};
  struct sigaction old {};
  act.sa_handler = NoteSignal;  // no SA_RESTART: poll() fails with EINTR
  sigemptyset(&act.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);
  SetTimeouts({0, 0, 250, 0, 0});
  const pthread_t reader = pthread_self();
  std::thread interrupter([reader] {
    for (int i = 0; i < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pthread_kill(reader, SIGUSR1);
    }
  });
  double ms = 0;
  EXPECT_EQ(Read(4, &ms), "");
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  Report("read with 250 ms time-out, interrupted at 100 and 200 ms, returned after", ms);
  EXPECT_GE(ms, 250.0);
  EXPECT_LT(ms, 250.0 + kLate);  // a restarted deadline would end near 450 ms
}

// --- Hang-up -----------------------------------------------------------------

TEST_F(PtyTest, HangUpEndsAWaitingReadAtOnce) {
  SetTimeouts({0, 0, 5000, 0, 0});
  std::thread far([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.HangUp();
  });
  double ms = 0;
  EXPECT_EQ(Read(12, &ms), "<failed>");
  far.join();
  Report("read waiting 5 s, far end hung up at 50 ms, failed after", ms);
  EXPECT_LT(ms, 50.0 + kLate);

  // Every later transfer fails at once too; the handle still closes.
  DriverInstance instance{};
  instance.port = h;
  Stopwatch sw;
  char buf[12];
  EXPECT_NE(TransferPort(instance.port).ReceiveExact(buf, 12), ComOk);
  EXPECT_NE(TransferPort(instance.port).SendAll("req", 3), ComOk);
  EXPECT_LT(sw.ms(), 50.0);
}

// --- Writes ------------------------------------------------------------------

TEST_F(PtyTest, SendAllWaitsForRoomAndDeliversEveryByte) {
  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  std::string seen;
  std::thread far([&] { seen = pty.Take(big.size(), 5000); });
  EXPECT_EQ(TransferPort(h).SendAll(big.data(), static_cast<std::int32_t>(big.size())), ComOk);
  far.join();
  EXPECT_TRUE(seen == big) << "far end got " << seen.size() << " bytes";
}

// Output held (flow control, or tcflow(TCOOFF) as here): a write ends when
// its time-out is up (the constant plus the multiplier for each byte),
// short, instead of waiting for good; once output resumes, writes go out.
TEST_F(PtyTest, HeldOutputEndsAWriteAtItsTimeOut) {
  const int fd = posix::FindPort(h)->fd;
  const std::string request(19, 'W');
  struct Case {
    std::uint32_t multiplier, constant;
    double bound;  // ms
  };
  for (const Case& c : {Case{0, 100, 100}, Case{10, 0, 190}, Case{2, 200, 238}}) {
    SCOPED_TRACE(c.bound);
    SetTimeouts({0, 0, 1000, c.multiplier, c.constant});
    ASSERT_EQ(tcflow(fd, TCOOFF), 0);
    Stopwatch sw;
    EXPECT_EQ(TransferPort(h).SendAll(request.data(), 19), ComShortWrite);
    const double ms = sw.ms();
    Report("write of 19 bytes with output held", ms);
    EXPECT_GE(ms, c.bound);
    EXPECT_LT(ms, c.bound + kLate);
    ASSERT_EQ(tcflow(fd, TCOON), 0);
    EXPECT_LT(pty.Take(19, 200).size(), 19u);  // what the short write let out
    EXPECT_EQ(TransferPort(h).SendAll(request.data(), 19), ComOk);
    EXPECT_EQ(pty.Take(19), request);
  }
}

// --- Purge and the whole exchange ------------------------------------------

TEST_F(PtyTest, PurgeDiscardsWaitingInputAndRestoresTheTimeout) {
  ASSERT_EQ(PreviousTimeout(h, 120), 100);
  ASSERT_TRUE(pty.Send(std::string(1100, 's')));
  ASSERT_TRUE(Waiting(1100));
  Stopwatch sw;
  EXPECT_EQ(ComPurgeInput(h), ComOk);
  const double ms = sw.ms();
  Report("purge of 1100 waiting bytes", ms);
  EXPECT_GE(ms, 50.0);  // the last read waits 50 ms for more
  EXPECT_LT(ms, 50.0 + kLate);
  std::uint32_t waiting = 1;
  ASSERT_TRUE(P().clearErrors(P().find(h), &waiting));
  EXPECT_EQ(waiting, 0u);
  Timeouts t;
  ASSERT_TRUE(P().getTimeouts(P().find(h), &t));
  EXPECT_EQ(t.readTotalConstant, 1200u);

  sw = Stopwatch();
  EXPECT_EQ(ComPurgeInput(h), ComOk);  // nothing waiting: no wait
  EXPECT_LT(sw.ms(), 20.0);
}

TEST_F(PtyTest, SendAllThenReceiveExactSeesOnlyTheFreshReply) {
  DriverInstance instance{};
  instance.port = h;
  ASSERT_TRUE(pty.Send("late reply of an earlier request"));
  ASSERT_TRUE(Waiting(32));
  ASSERT_EQ(TransferPort(instance.port).SendAll("\x04R 00042  1\x0d", 12), ComOk);
  EXPECT_EQ(pty.Take(12), std::string("\x04R 00042  1\x0d", 12));
  ASSERT_TRUE(pty.Send("fresh reply!"));
  char buf[12];
  ASSERT_EQ(TransferPort(instance.port).ReceiveExact(buf, 12), ComOk);
  EXPECT_EQ(std::string(buf, 12), "fresh reply!");
}

}  // namespace
}  // namespace zelqd::serial
