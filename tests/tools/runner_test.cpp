// The engine served on a real pseudo-terminal by its thread.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"

namespace zelsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The driver's end of the line: the slave device, opened by its name.
class Device {
 public:
  explicit Device(const std::string& name) : fd_(::open(name.c_str(), O_RDWR | O_NOCTTY)) {}
  ~Device() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads until count bytes are there or nothing more comes within quiet.
  Bytes Receive(std::size_t count, milliseconds quiet = milliseconds(2000)) {
    Bytes out;
    while (out.size() < count) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
      std::uint8_t buffer[1024];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

 private:
  int fd_;
};

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

TEST(Runner, AnswersOnThePseudoTerminal) {
  PtyPair pty;
  Engine engine;
  Runner runner(engine, pty.master());
  runner.Start();
  Device device(pty.slaveName());
  ASSERT_TRUE(device.ok());

  device.Send(WriteRequest(42, 0xCAFE));
  EXPECT_EQ(device.Receive(kOkReplySize), OkReply());
  device.Send(ReadRequest(42, 1));
  const std::uint32_t value[] = {0xCAFE};
  EXPECT_EQ(device.Receive(ValueReplySize(1)), ValueReply(value));

  runner.Stop();
  EXPECT_EQ(engine.table().Get(42), 0xCAFEu);
  EXPECT_EQ(engine.counters().bytesSent, kOkReplySize + ValueReplySize(1));
  EXPECT_EQ(runner.error(), "");
}

TEST(Runner, DelaysAndSplitsOnTheLine) {
  PtyPair pty;
  FaultConfig config;
  config[Fault::Delay] = Trigger::Parse("always");
  config[Fault::Split] = Trigger::Parse("always");
  config.delayMs = 300;
  config.splitPieces = 2;
  config.splitGapMs = 300;
  Engine engine(config);
  Runner runner(engine, pty.master());
  runner.Start();
  Device device(pty.slaveName());

  const auto start = Clock::now();
  device.Send(ReadRequest(0, 2));
  // Nothing during the delay; then the first piece, and the rest after the
  // gap.
  EXPECT_TRUE(device.Receive(1, milliseconds(150)).empty());
  Bytes first = device.Receive(1, milliseconds(1000));
  const double firstAt = SecondsSince(start);
  ASSERT_EQ(first.size(), 1u);
  const Bytes more = device.Receive(ValueReplySize(2), milliseconds(100));
  first.insert(first.end(), more.begin(), more.end());
  ASSERT_LT(first.size(), ValueReplySize(2));
  Bytes rest = device.Receive(ValueReplySize(2) - first.size());
  const double restAt = SecondsSince(start);
  EXPECT_GE(firstAt, 0.28);
  EXPECT_GE(restAt - firstAt, 0.2);
  rest.insert(rest.begin(), first.begin(), first.end());
  EXPECT_EQ(rest, ValueReply(engine.table().Range(0, 2)));
}

TEST(Runner, PacedExchangeTakesTheWireTimeBothWaysAndTheTurnaround) {
  struct Case {
    int baud, dataBits;
    bool parity;
    int stopBits, turnaroundMs, count;
  };
  const Case cases[] = {
      {9600, 8, false, 1, 20, 1},  // (14 + 12) x 1.0417 ms + 20 ms
      {9600, 8, true, 2, 0, 10},   // (14 + 84) x 1.25 ms
      {38400, 8, false, 1, 5, 1},  // (14 + 12) x 0.26 ms + 5 ms
  };
  for (const Case& c : cases) {
    PtyPair pty;
    Engine engine;
    const int bits = CharacterBits(c.dataBits, c.parity, c.stopBits);
    Runner runner(engine, pty.master(),
                  {.paceBaud = c.baud, .bitsPerCharacter = bits, .turnaroundMs = c.turnaroundMs});
    runner.Start();
    Device device(pty.slaveName());
    ASSERT_TRUE(device.ok());
    const double expected =
        static_cast<double>((kReadRequestSize + ValueReplySize(c.count)) * bits) / c.baud +
        c.turnaroundMs / 1000.0;
    const auto start = Clock::now();
    device.Send(ReadRequest(0, c.count));
    EXPECT_EQ(device.Receive(ValueReplySize(c.count)).size(), ValueReplySize(c.count));
    const double took = SecondsSince(start);
    EXPECT_GE(took, 0.85 * expected) << c.baud << " baud, " << bits << " bits";
    EXPECT_LE(took, 1.15 * expected + 0.010) << c.baud << " baud, " << bits << " bits";
  }
}

TEST(Runner, StopsInTheMiddleOfALongDelay) {
  PtyPair pty;
  FaultConfig config;
  config[Fault::Delay] = Trigger::Parse("always");
  config.delayMs = 60000;
  Engine engine(config);
  Runner runner(engine, pty.master());
  runner.Start();
  Device device(pty.slaveName());
  device.Send(ReadRequest(0, 1));
  // Let the runner take the request and begin to wait.
  while (runner.WithEngine([](Engine& e) { return e.counters().readRequests; }) == 0)
    std::this_thread::sleep_for(milliseconds(5));
  const auto start = Clock::now();
  runner.Stop();
  EXPECT_LT(SecondsSince(start), 1.0);
}

}  // namespace
}  // namespace zelsim
