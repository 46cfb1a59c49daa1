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

TEST(Runner, ShortNameFindsTheDeviceUnderDev) {
  PtyPair pty;
  EXPECT_EQ("/dev/" + pty.shortName(), pty.slaveName());
  EXPECT_LE(pty.shortName().size(), 11u);
}

TEST(Runner, TracesRequestsAndReplies) {
  PtyPair pty;
  Engine engine;
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* memory = ::open_memstream(&text, &size);
  ASSERT_NE(memory, nullptr);
  {
    Trace trace(memory);
    Runner runner(engine, pty.master(), {.trace = &trace});
    runner.Start();
    Device device(pty.slaveName());
    device.Send(Bytes{'x'});
    device.Send(ReadRequest(42, 1));
    device.Receive(ValueReplySize(1));
    runner.Stop();
  }
  std::fclose(memory);
  const std::string trace(text, size);
  std::free(text);
  EXPECT_NE(trace.find("?? junk, 1 bytes | x"), std::string::npos) << trace;
  EXPECT_NE(trace.find("<- R seq ! var 00042 count 001 sum 06: ok | <EOT>R!0004200106<ETX>"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("-> values 00000000 sum 80: ok | <STX>0000000080<ETX>"), std::string::npos)
      << trace;
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

TEST(Runner, TakesRequestsWhileAReplyWaits) {
  PtyPair pty;
  FaultConfig config;
  config[Fault::Delay] = Trigger::Parse("always");
  config.delayMs = 400;
  Engine engine(config);
  engine.table().Set(1, 11);
  engine.table().Set(2, 22);
  Runner runner(engine, pty.master());
  runner.Start();
  Device device(pty.slaveName());

  // The second request comes while the first reply waits; each reply goes
  // out its delay after its own request, in order.
  const auto start = Clock::now();
  device.Send(ReadRequest(1, 1));
  std::this_thread::sleep_for(milliseconds(200));
  device.Send(ReadRequest(2, 1));
  while (runner.WithEngine([](Engine& e) { return e.counters().readRequests; }) < 2 &&
         SecondsSince(start) < 5)
    std::this_thread::sleep_for(milliseconds(5));
  EXPECT_LT(SecondsSince(start), 0.38);  // taken before the first reply went out
  const std::uint32_t first[] = {11};
  const std::uint32_t second[] = {22};
  EXPECT_EQ(device.Receive(ValueReplySize(1)), ValueReply(first));
  const double firstAt = SecondsSince(start);
  EXPECT_EQ(device.Receive(ValueReplySize(1)), ValueReply(second));
  const double secondAt = SecondsSince(start);
  EXPECT_GE(firstAt, 0.38);
  EXPECT_GE(secondAt, 0.58);
}

TEST(Runner, PacesRepliesAtTheWireTimeOfTheBaudRate) {
  PtyPair pty;
  Engine engine;
  // 852 bytes of 10 bits at 9600 bit/s take 0.8875 s on the wire.
  Runner runner(engine, pty.master(), {.paceBaud = 9600});
  runner.Start();
  Device device(pty.slaveName());
  const auto start = Clock::now();
  device.Send(ReadRequest(0, 106));
  EXPECT_EQ(device.Receive(852).size(), 852u);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.85);
  EXPECT_LT(took, 3.0);
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
