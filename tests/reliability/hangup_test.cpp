// The device disappears in the middle of a transfer: the far end of a
// pseudo-terminal closes while the driver waits for the rest of a reply.
// The transfer must end with ResultFailed as soon as the line is gone, not
// after the reply time-outs, and without spinning; closing the port and
// opening a new device must then work as on the first day.
#include <gtest/gtest.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "serial/pty.h"
#include "zelqd/observer.h"
#include "zelqd/zelqd.h"

namespace zelqd::testing {
namespace {

constexpr std::int32_t kReplyTimeout = 150;  // 1.5 s, in units of 10 ms
constexpr double kReplyTimeoutMs = kReplyTimeout * 10.0;
constexpr int kHangUpAfterMs = 100;  // the far end's last bytes, then this long, then gone

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::int32_t Call(DriverInstance& instance, std::int32_t code, void* params = nullptr) {
  DriverCall call{};
  call.instance = &instance;
  call.code = code;
  call.params = params;
  return ZelMain(&call);
}

// The name the driver opens: the full path when it fits a port name.
std::string PortName(const Pty& pty) {
  const std::string path = pty.path();
  return path.size() <= 11 ? path : pty.relative();
}

std::int32_t OpenOn(DriverInstance& instance, const Pty& pty) {
  OpenRequest open{};
  const std::string name = PortName(pty);
  name.copy(open.name, sizeof open.name - 1);
  open.active = 1;
  open.replyTimeout = kReplyTimeout;
  open.settings.baudRate = 9600;
  open.settings.dataBits = 8;
  return Call(instance, CodeOpenPort, &open);
}

std::string ReadReply(const std::string& digits) {
  unsigned sum = 0;
  for (unsigned char c : digits) sum += c;
  char check[3];
  std::snprintf(check, sizeof check, "%.2X", (0u - sum) & 0xFFu);
  return "\x02" + digits + check + "\x03";
}

struct Transfer {
  ValueSlot slot{};
  TransferRequest request{};
  Transfer() {
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = &slot;
  }
};

// The reason and the system's error of every attempt.
void CollectReasons(const ZelqdOutcome* o, void* context) {
  static_cast<std::vector<std::pair<std::int32_t, std::int32_t>>*>(context)->emplace_back(
      o->reason, o->systemError);
}

struct Case {
  const char* what;
  std::int32_t code;
  std::size_t requestSize;
  std::string sentBeforeHangUp;  // part of the reply; "<none>": gone before the request
};

TEST(HangUp, MidTransferFailsAtOnceWithoutSpinningAndTheHostRecovers) {
  const std::string readPart = ReadReply("0000002A").substr(0, 5);
  const Case cases[] = {
      {"read, 5 of 12 reply bytes", CodeReadVar, 14, readPart},
      {"read, nothing of the reply", CodeReadVar, 14, ""},
      {"write, 3 of 6 reply bytes", CodeWriteVar, 19, "\x06OK"},
      {"read, device gone before the request", CodeReadVar, 14, "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pty first;
    ASSERT_TRUE(first.ok());
    DriverInstance instance{};
    ASSERT_EQ(OpenOn(instance, first), ResultOk);

    const bool goneBefore = c.sentBeforeHangUp == "<none>";
    std::thread far;
    if (goneBefore) {
      first.HangUp();
    } else {
      far = std::thread([&first, &c] {
        if (first.Take(c.requestSize).size() != c.requestSize) return;
        first.Send(c.sentBeforeHangUp);
        std::this_thread::sleep_for(std::chrono::milliseconds(kHangUpAfterMs));
        first.HangUp();
      });
    }
    Transfer t;
    std::vector<std::pair<std::int32_t, std::int32_t>> reasons;
    zelqd_set_observer(CollectReasons, &reasons);
    const Stopwatch wall;
    const double cpuStart = ThreadCpuMs();
    const std::int32_t result = Call(instance, c.code, &t.request);
    const double cpuMs = ThreadCpuMs() - cpuStart;
    const double wallMs = wall.ms();
    zelqd_set_observer(nullptr, nullptr);
    if (far.joinable()) far.join();
    // Linux: poll() tells POLLIN|POLLERR|POLLHUP and read() gives 0 once the
    // master side is gone (no error code); a write gives EIO.
    ASSERT_FALSE(reasons.empty());
    std::printf("[ hang-up  ] errno of each attempt's hang-up:");
    for (const auto& [reason, error] : reasons) {
      EXPECT_EQ(reason, ZELQD_REASON_HANG_UP);
      EXPECT_TRUE(error == 0 || error == EIO) << error;
      std::printf(" %d", error);
    }
    std::printf("\n");
    std::printf("[ hang-up  ] %-40s wall %7.1f ms, cpu %6.2f ms\n", c.what, wallMs, cpuMs);

    EXPECT_EQ(result, ResultFailed);
    // Waiting out even one reply time-out would take 1.5 s; the line's end
    // is seen at once instead.
    EXPECT_LT(wallMs, (goneBefore ? 0 : kHangUpAfterMs) + kReplyTimeoutMs / 3);
    // A loop that spins on the dead line would burn the wall time as CPU.
    EXPECT_LT(cpuMs, 0.5 * wallMs + 5.0);

    // The host closes the dead port and opens a new device.
    EXPECT_EQ(Call(instance, CodeClosePort), ResultOk);
    EXPECT_EQ(instance.port, 0u);
    Pty second;
    ASSERT_TRUE(second.ok());
    ASSERT_EQ(OpenOn(instance, second), ResultOk);
    std::thread answer([&second] {
      if (second.Take(14).size() == 14) second.Send(ReadReply("0001E240"));
    });
    Transfer again;
    EXPECT_EQ(Call(instance, CodeReadVar, &again.request), ResultOk);
    answer.join();
    EXPECT_EQ(again.slot.high, 0x0001);
    EXPECT_EQ(again.slot.low, 0xE240);
    EXPECT_EQ(Call(instance, CodeClosePort), ResultOk);
  }
}

}  // namespace
}  // namespace zelqd::testing
