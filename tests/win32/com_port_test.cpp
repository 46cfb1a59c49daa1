// The Win32 backend on COM ports: the driver loaded from zelqd.dll as a host
// loads it, and the serial layer on its own, against a peer on the far end
// of each line (zelqd_wine_peer, which maps COM5 and COM6 to
// pseudo-terminals and tells its control address in ZELQD_PEER).
//
// Where Wine's COM ports behave unlike those of Windows, the test is
// skipped under Wine with the reason (see SkipWineDifferences).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dravun.h"
#include "serial/com.h"
#include "zelqd/zelqd.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kPort[] = "COM5";
constexpr char kOtherPort[] = "COM6";
constexpr char kMissingPort[] = "COM9";

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ZELQD_WINE_DIFFERENCES=run runs these tests under Wine all the same, to
// see whether a Wine version still differs.
bool SkipWineDifferences() {
  const char* run = std::getenv("ZELQD_WINE_DIFFERENCES");
  return UnderWine() && !(run != nullptr && std::strcmp(run, "run") == 0);
}

#define SKIP_UNDER_WINE(reason) \
  if (SkipWineDifferences()) GTEST_SKIP() << "Wine differs from Windows: " << (reason)

// --- The peer's control connection ---------------------------------------

class Peer {
 public:
  static Peer& Get() {
    static Peer peer;
    return peer;
  }

  bool connected() const { return socket_ != INVALID_SOCKET; }

  // One request, one answer line (without "OK "); "ERR ..." answers and a
  // lost connection fail the test that asked.
  std::string Ask(const std::string& request) {
    EXPECT_TRUE(connected()) << "no peer: run under zelqd_wine_peer (ZELQD_PEER unset)";
    if (!connected()) return {};
    const std::string line = request + "\n";
    if (send(socket_, line.data(), static_cast<int>(line.size()), 0) !=
        static_cast<int>(line.size())) {
      ADD_FAILURE() << "peer: send failed";
      return {};
    }
    std::string answer;
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        answer = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        break;
      }
      char buffer[4096];
      const int n = recv(socket_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        ADD_FAILURE() << "peer: connection lost";
        return {};
      }
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
    if (answer.rfind("OK", 0) != 0) {
      ADD_FAILURE() << "peer: " << request << " -> " << answer;
      return {};
    }
    return answer.size() > 3 ? answer.substr(3) : std::string();
  }

 private:
  Peer() {
    const char* endpoint = std::getenv("ZELQD_PEER");
    if (endpoint == nullptr) return;
    const std::string text = endpoint;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(text.c_str() + colon + 1)));
    if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) return;
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) return;
    if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
  }

  SOCKET socket_ = INVALID_SOCKET;
  std::string pending_;
};

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

int PortNumber(const char* name) { return std::atoi(name + 3); }

// Puts bytes on the line of a port, after a delay.
void PeerSends(const char* port, const std::string& bytes, int afterMs = 0) {
  Peer::Get().Ask("send " + std::to_string(PortNumber(port)) + " " + Hex(bytes) + " " +
                  std::to_string(afterMs));
}

// The bytes that reached the far end of a port, waiting up to a second for
// at least count of them.
std::string PeerTakes(const char* port, std::size_t count) {
  std::string hex;
  const auto deadline = Clock::now() + 1s;
  do {
    hex += Peer::Get().Ask("take " + std::to_string(PortNumber(port)));
    if (hex.size() >= 2 * count) break;
    std::this_thread::sleep_for(20ms);
  } while (Clock::now() < deadline);
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  }
  return bytes;
}

struct LineView {
  long speed = -1;
  int dataBits = 0;
  int parity = 0;
  int parityOdd = 0;
  int twoStopBits = 0;
  int ctsRts = 0;
};

// The settings that reached the pseudo-terminal.
LineView PeerLine(const char* port) {
  LineView v;
  const std::string answer = Peer::Get().Ask("termios " + std::to_string(PortNumber(port)));
  std::sscanf(answer.c_str(), "%ld %d %d %d %d %d", &v.speed, &v.dataBits, &v.parity, &v.parityOdd,
              &v.twoStopBits, &v.ctsRts);
  return v;
}

// Resets both lines to raw mode with nothing received.
void PeerResets() {
  for (const char* port : {kPort, kOtherPort}) {
    const std::string n = std::to_string(PortNumber(port));
    Peer::Get().Ask("raw " + n);
    Peer::Get().Ask("discard " + n);
  }
}

// --- The driver as a host loads it ---------------------------------------

struct Messages {
  std::vector<std::string> texts;
  std::vector<int> codes;
};

void Record(int code, const char* message, void* context) {
  auto* m = static_cast<Messages*>(context);
  m->codes.push_back(code);
  m->texts.push_back(message);
}

class Dll {
 public:
  static Dll& Get() {
    static Dll dll;
    return dll;
  }
  HMODULE module() const { return module_; }
  ZelMainFunction zelMain() const { return zelMain_; }

 private:
  Dll() {
    module_ = LoadLibraryA("zelqd.dll");
    if (module_ != nullptr) {
      zelMain_ = reinterpret_cast<ZelMainFunction>(
          reinterpret_cast<void*>(GetProcAddress(module_, "ZelMain")));
    }
  }
  HMODULE module_ = nullptr;
  ZelMainFunction zelMain_ = nullptr;
};

HANDLE AsHandle(std::uint32_t port) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(port)));
}

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Dll::Get().zelMain(), nullptr) << "zelqd.dll or its export ZelMain not found";
    ASSERT_TRUE(Peer::Get().connected()) << "no peer: run under zelqd_wine_peer";
    PeerResets();
    DravunSetMessageHandler(Record, &messages_);
  }
  void TearDown() override {
    for (DriverInstance* instance : {&instance_, &second_}) {
      if (instance->port != 0) Call(instance, CodeClosePort, nullptr);
    }
    DravunSetMessageHandler(nullptr, nullptr);
  }

  std::int32_t Call(DriverInstance* instance, int code, void* params) {
    DriverCall call{};
    call.instance = instance;
    call.code = code;
    call.params = params;
    return Dll::Get().zelMain()(&call);
  }

  static OpenRequest Open(const char* name, std::uint16_t baud, std::uint8_t dataBits = 8,
                          std::uint8_t stopBits = 0, std::uint8_t parity = 0,
                          std::int32_t replyTimeout = 150) {
    OpenRequest r{};
    std::strncpy(r.name, name, sizeof r.name - 1);
    r.active = 1;
    r.replyTimeout = replyTimeout;
    r.settings.baudRate = baud;
    r.settings.dataBits = dataBits;
    r.settings.stopBits = stopBits;
    r.settings.parity = parity;
    return r;
  }

  std::int32_t OpenPort(DriverInstance* instance, OpenRequest request) {
    return Call(instance, CodeOpenPort, &request);
  }

  static COMMTIMEOUTS TimeoutsOf(std::uint32_t port) {
    COMMTIMEOUTS t{};
    EXPECT_TRUE(GetCommTimeouts(AsHandle(port), &t));
    return t;
  }

  DriverInstance instance_{};
  DriverInstance second_{};
  Messages messages_;
};

// --- The library ----------------------------------------------------------

TEST(WinDll, ExportsZelMainUnderItsPlainNameOnly) {
  const HMODULE module = Dll::Get().module();
  ASSERT_NE(module, nullptr);
  EXPECT_NE(GetProcAddress(module, "ZelMain"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "ZelMain@4"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "_ZelMain@4"), nullptr);

  DriverInfo info{};
  DriverCall call{};
  call.code = CodeGetDriverInfo;
  call.params = &info;
  ASSERT_EQ(Dll::Get().zelMain()(&call), ResultOk);
  EXPECT_EQ(info.instanceSize, 684);
  EXPECT_STREQ(info.shortName, "General Purpose");
}

// --- Opening: the line settings reach the device --------------------------

struct LineCase {
  const char* label;
  std::uint16_t baud;
  std::uint8_t dataBits;
  std::uint8_t stopBits;
  std::uint8_t parity;
  const char* wineDiffers;  // why Wine cannot show it, or nullptr
};

class OpenLine : public DriverTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(OpenLine, SettingsAndTimeoutsReachTheDevice) {
  const LineCase& c = GetParam();
  if (c.wineDiffers != nullptr) SKIP_UNDER_WINE(c.wineDiffers);

  ASSERT_EQ(OpenPort(&instance_, Open(kPort, c.baud, c.dataBits, c.stopBits, c.parity)), ResultOk);
  ASSERT_NE(instance_.port, 0u);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(AsHandle(instance_.port), &dcb));
  EXPECT_EQ(dcb.BaudRate, c.baud);
  EXPECT_EQ(dcb.ByteSize, c.dataBits);
  EXPECT_EQ(dcb.Parity, c.parity);
  EXPECT_EQ(dcb.StopBits, c.stopBits);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  // DTR and RTS: the ControlFlags tests (OpenPort passes the flags 0x0008).
  EXPECT_EQ(dcb.fDsrSensitivity, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.fAbortOnError, 0u);

  // The reply time-out of the request, in milliseconds; a write may take a
  // second plus the wire time of its bytes (whole milliseconds per byte).
  const COMMTIMEOUTS t = TimeoutsOf(instance_.port);
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1500u);
  const unsigned bits =
      1u + c.dataBits + (c.parity != NOPARITY ? 1u : 0u) + (c.stopBits == ONESTOPBIT ? 1u : 2u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, (bits * 1000u + c.baud - 1) / c.baud);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

  // What the far end sees of it.
  const LineView line = PeerLine(kPort);
  EXPECT_EQ(line.speed, c.baud);
  EXPECT_EQ(line.twoStopBits, c.stopBits == TWOSTOPBITS ? 1 : 0);
  EXPECT_EQ(line.ctsRts, 0);

  EXPECT_EQ(Call(&instance_, CodeClosePort, nullptr), ResultOk);
  EXPECT_EQ(instance_.port, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Win, OpenLine,
    ::testing::Values(LineCase{"b9600_8N1", 9600, 8, ONESTOPBIT, NOPARITY, nullptr},
                      LineCase{"b19200_8N2", 19200, 8, TWOSTOPBITS, NOPARITY, nullptr},
                      LineCase{"b1200_8N1", 1200, 8, ONESTOPBIT, NOPARITY, nullptr},
                      LineCase{"b57600_8N1", 57600, 8, ONESTOPBIT, NOPARITY, nullptr},
                      LineCase{"b4800_7E1", 4800, 7, ONESTOPBIT, EVENPARITY,
                               "a pseudo-terminal forces 8 data bits without parity"},
                      LineCase{"b9600_8O1", 9600, 8, ONESTOPBIT, ODDPARITY,
                               "a pseudo-terminal forces 8 data bits without parity"},
                      LineCase{"b10000_8N1", 10000, 8, ONESTOPBIT, NOPARITY,
                               "non-standard baud rates are accepted but read back as 38400"}),
    [](const ::testing::TestParamInfo<LineCase>& p) { return std::string(p.param.label); });

TEST_F(DriverTest, ReplyTimeoutIsRaisedToTheMinimum) {
  struct Case {
    std::int32_t replyTimeout;
    DWORD expectedMs;
  };
  for (const Case& c :
       {Case{50, 1200}, Case{-7, 1200}, Case{120, 1200}, Case{121, 1210}, Case{300, 3000}}) {
    SCOPED_TRACE(c.replyTimeout);
    ASSERT_EQ(OpenPort(&instance_, Open(kPort, 9600, 8, 0, 0, c.replyTimeout)), ResultOk);
    EXPECT_EQ(TimeoutsOf(instance_.port).ReadTotalTimeoutConstant, c.expectedMs);
    ASSERT_EQ(Call(&instance_, CodeClosePort, nullptr), ResultOk);
  }
}

TEST_F(DriverTest, MissingPortFailsWithTheHostMessage) {
  ASSERT_EQ(OpenPort(&instance_, Open(kMissingPort, 9600)), ResultFailed);
  EXPECT_EQ(instance_.port, 0u);
  ASSERT_EQ(messages_.texts.size(), 1u);
  EXPECT_EQ(messages_.codes[0], 32);
  EXPECT_EQ(messages_.texts[0], std::string("ZELGeneral Purpose : Fail to open ") + kMissingPort);
}

TEST_F(DriverTest, NullDeviceOpensWithoutLineSettings) {
  ASSERT_EQ(OpenPort(&instance_, Open("NUL", 9600)), ResultOk);
  EXPECT_NE(instance_.port, 0u);
  EXPECT_TRUE(messages_.texts.empty());
  EXPECT_EQ(Call(&instance_, CodeClosePort, nullptr), ResultOk);
  EXPECT_EQ(instance_.port, 0u);
}

TEST_F(DriverTest, SecondOpenOfAnOpenPortIsRefused) {
  SKIP_UNDER_WINE("exclusive opens of a COM port are not enforced");
  ASSERT_EQ(OpenPort(&instance_, Open(kPort, 9600)), ResultOk);
  const std::uint32_t first = instance_.port;
  // Another instance, and the same instance again: both refused.
  EXPECT_EQ(OpenPort(&second_, Open(kPort, 9600)), ResultFailed);
  EXPECT_EQ(second_.port, 0u);
  EXPECT_EQ(OpenPort(&instance_, Open(kPort, 9600)), ResultFailed);
  EXPECT_EQ(instance_.port, first);
  EXPECT_EQ(messages_.texts.size(), 2u);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  EXPECT_TRUE(GetCommState(AsHandle(first), &dcb));
}

TEST_F(DriverTest, ChangeToTheSameNameWhileOpenIsRefused) {
  SKIP_UNDER_WINE("exclusive opens of a COM port are not enforced");
  ASSERT_EQ(OpenPort(&instance_, Open(kPort, 9600)), ResultOk);
  const std::uint32_t first = instance_.port;
  PortChangeRequest change{};
  std::strcpy(change.name, kPort);
  EXPECT_EQ(Call(&instance_, CodeChangeZelParams, &change), ResultFailed);
  EXPECT_EQ(instance_.port, first);
  ASSERT_EQ(messages_.texts.size(), 1u);
  EXPECT_EQ(messages_.texts[0], "ZELKR7> ChangeZelParams() open new COM port failed");
}

TEST_F(DriverTest, ChangeToAnotherPortKeepsTheLineSettings) {
  ASSERT_EQ(OpenPort(&instance_, Open(kPort, 19200, 8, TWOSTOPBITS)), ResultOk);
  PortChangeRequest change{};
  std::strcpy(change.name, kOtherPort);  // baudRate 0: the stored settings stay
  ASSERT_EQ(Call(&instance_, CodeChangeZelParams, &change), ResultOk);
  ASSERT_NE(instance_.port, 0u);
  EXPECT_STREQ(instance_.portSpec.name, kOtherPort);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(AsHandle(instance_.port), &dcb));
  EXPECT_EQ(dcb.BaudRate, 19200u);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(TimeoutsOf(instance_.port).ReadTotalTimeoutConstant, 1500u);
  EXPECT_EQ(PeerLine(kOtherPort).speed, 19200);

  // The new handle writes to the new line.
  const std::string bytes = "to COM6";
  EXPECT_EQ(zelqd::serial::TransferPort(instance_.port)
                .SendAll(bytes.data(), static_cast<std::int32_t>(bytes.size())),
            zelqd::serial::ComOk);
  EXPECT_EQ(PeerTakes(kOtherPort, bytes.size()), bytes);
  EXPECT_EQ(PeerTakes(kPort, 0), "");
}

TEST_F(DriverTest, ReopenKeepsTheOpenTimeoutAndClosingTwiceIsHarmless) {
  ASSERT_EQ(OpenPort(&instance_, Open(kPort, 9600, 8, 0, 0, 200)), ResultOk);
  ASSERT_EQ(Call(&instance_, CodeClosePort, nullptr), ResultOk);
  EXPECT_EQ(Call(&instance_, CodeClosePort, nullptr), ResultOk);
  instance_.active = 0;
  ASSERT_EQ(Call(&instance_, CodeReopenPort, nullptr), ResultOk);
  EXPECT_EQ(instance_.active, 1);
  EXPECT_EQ(TimeoutsOf(instance_.port).ReadTotalTimeoutConstant, 1000u);
  EXPECT_EQ(Call(&instance_, CodeShutdown, nullptr), ResultOk);
  EXPECT_EQ(instance_.port, 0u);
}

// Waits until the receive queue of the port holds count bytes.
bool WaitForInput(std::uint32_t port, DWORD count) {
  const auto deadline = Clock::now() + 3s;
  while (Clock::now() < deadline) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(AsHandle(port), &errors, &stat) && stat.cbInQue >= count) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

DWORD Waiting(std::uint32_t port) {
  DWORD errors = 0;
  COMSTAT stat{};
  return ClearCommError(AsHandle(port), &errors, &stat) ? stat.cbInQue : 0xFFFFFFFFu;
}

TEST_F(DriverTest, PurgeInputDiscardsWhatWaits) {
  EXPECT_EQ(Call(&instance_, CodePurgeInput, nullptr), ResultOk);  // no port: nothing to do
  ASSERT_EQ(OpenPort(&instance_, Open(kPort, 9600)), ResultOk);
  PeerSends(kPort, std::string(700, 'x'));
  ASSERT_TRUE(WaitForInput(instance_.port, 700));
  EXPECT_EQ(Call(&instance_, CodePurgeInput, nullptr), ResultOk);
  EXPECT_EQ(Waiting(instance_.port), 0u);
  EXPECT_EQ(TimeoutsOf(instance_.port).ReadTotalTimeoutConstant, 1500u);
}

// --- Transfers through the driver, the simulator on the far end ------------

TransferRequest Transfer(const AddressRequest& address, ValueSlot* slots, std::int32_t count) {
  TransferRequest t{};
  t.variableNumber = address.variableNumber;
  t.variableClass = address.variableClass;
  t.valueCount = count;
  t.values = slots;
  return t;
}

class TransferTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(OpenPort(&instance_, Open(kPort, 9600, 8, 0, 0, 120)), ResultOk);
  }

  AddressRequest Parse(const char* text) {
    AddressRequest a{};
    a.addressText = text;
    EXPECT_EQ(Call(&instance_, CodeParseAddress, &a), ResultOk) << text;
    return a;
  }
};

TEST_F(TransferTest, ReadWriteAndBlockReachTheRemoteTable) {
  Peer::Get().Ask("sim 5");
  Peer::Get().Ask("set 5 42 305419896");  // 0x12345678
  Peer::Get().Ask("set 5 43 4294967295");
  Peer::Get().Ask("set 5 44 7");

  ValueSlot slot{};
  TransferRequest read = Transfer(Parse("$00042"), &slot, 0);
  ASSERT_EQ(Call(&instance_, CodeReadVar, &read), ResultOk);
  EXPECT_EQ(slot.high, 0x1234);
  EXPECT_EQ(slot.low, 0x5678);

  ValueSlot block[3] = {};
  TransferRequest readBlock = Transfer(Parse("$00042"), block, 3);
  ASSERT_EQ(Call(&instance_, CodeReadBlock, &readBlock), ResultOk);
  EXPECT_EQ(block[1].high, 0xFFFF);
  EXPECT_EQ(block[1].low, 0xFFFF);
  EXPECT_EQ(block[2].high, 0);
  EXPECT_EQ(block[2].low, 7);

  ValueSlot value{0xCAFE, 0xBEEF};
  TransferRequest write = Transfer(Parse("$99999"), &value, 1);
  ASSERT_EQ(Call(&instance_, CodeWriteVar, &write), ResultOk);
  EXPECT_EQ(Peer::Get().Ask("get 5 99999"), std::to_string(0xCAFEBEEFu));
}

TEST_F(TransferTest, ReplyInPiecesAndNoiseBeforeTheRequestAreHandled) {
  Peer::Get().Ask("sim 5 split always");
  Peer::Get().Ask("set 5 7 1000");
  ValueSlot slot{};
  TransferRequest read = Transfer(Parse("$00007"), &slot, 0);
  // Stale bytes on the line are discarded before the request goes out.
  PeerSends(kPort, "stale bytes");
  ASSERT_TRUE(WaitForInput(instance_.port, 11));
  ASSERT_EQ(Call(&instance_, CodeReadVar, &read), ResultOk);
  EXPECT_EQ(slot.high, 0);
  EXPECT_EQ(slot.low, 1000);
}

TEST_F(TransferTest, SilentLineFailsAfterFiveAttempts) {
  // Raw mode: the far end only listens.
  ValueSlot slot{0x1111, 0x2222};
  TransferRequest read = Transfer(Parse("$00001"), &slot, 0);
  const auto start = Clock::now();
  EXPECT_EQ(Call(&instance_, CodeReadVar, &read), ResultFailed);
  const auto elapsed = Clock::now() - start;
  // Five attempts of 1.2 s each, each retried at once: an attempt that got
  // no byte leaves nothing to settle before the next one.
  EXPECT_GE(elapsed, 5500ms);
  EXPECT_LT(elapsed, 9s);
  EXPECT_EQ(slot.high, 0x1111);
  EXPECT_EQ(slot.low, 0x2222);
  const std::string sent = PeerTakes(kPort, 5 * 14);
  ASSERT_EQ(sent.size(), 5u * 14u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(sent.substr(14u * i + 1, 10), "R!00001001") << i;
}

// --- The serial layer on its own -------------------------------------------

namespace serial = zelqd::serial;

// The read time-out that was in force when ComSetReadTimeout set another
// (units of 10 ms; 0 when a platform call failed).
std::int32_t PreviousTimeout(serial::Handle handle, std::int32_t timeout) {
  std::int32_t previous = -1;
  serial::ComSetReadTimeout(handle, timeout, &previous);
  return previous;
}

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer::Get().connected()) << "no peer: run under zelqd_wine_peer";
    PeerResets();
    ASSERT_EQ(OpenWithFlags(8), serial::ComOk);
  }
  void TearDown() override {
    if (handle_ != 0) serial::ComClose(handle_);
  }

  // Opens the port with 9600 8N1 and the control flags; keeps the handle
  // only when the open succeeded (a failed open has closed it already).
  std::int32_t OpenWithFlags(std::uint16_t flags) {
    LineSettings s{};
    s.baudRate = 9600;
    s.dataBits = 8;
    serial::Handle h = 0;
    const std::int32_t result = serial::ComOpen(kPort, s, flags, &h);
    if (result == serial::ComOk) handle_ = h;
    return result;
  }

  std::int32_t Read(std::string* out, std::int32_t count, std::int32_t* received) {
    std::vector<char> buffer(static_cast<std::size_t>(count) + 1, '\0');
    const std::int32_t result =
        serial::TransferPort(handle_).ReceiveExact(buffer.data(), count, received);
    out->assign(buffer.data(), static_cast<std::size_t>(*received));
    return result;
  }

  serial::Handle handle_ = 0;
};

TEST_F(LineTest, WritesReachTheLine) {
  const std::string frame = "\x04R!00042001F9\x03";
  ASSERT_EQ(
      serial::TransferPort(handle_).SendAll(frame.data(), static_cast<std::int32_t>(frame.size())),
      serial::ComOk);
  EXPECT_EQ(PeerTakes(kPort, frame.size()), frame);
  EXPECT_EQ(serial::TransferPort(handle_).SendAll(frame.data(), 0), serial::ComOk);
}

struct Delivery {
  const char* bytes;
  int afterMs;
};

struct ReadCase {
  const char* label;
  std::int32_t count;
  std::vector<Delivery> deliveries;
  std::int32_t expected;
  std::string expectedBytes;
};

TEST_F(LineTest, ExactReadsTable) {
  const std::vector<ReadCase> cases = {
      {"all at once", 12, {{"ABCDEFGHIJKL", 0}}, serial::ComOk, "ABCDEFGHIJKL"},
      {"in two pieces", 3, {{"A", 0}, {"BC", 400}}, serial::ComOk, "ABC"},
      {"nothing arrives", 3, {}, serial::ComIoError, ""},
      {"two of three arrive", 3, {{"AB", 0}}, serial::ComIoError, "AB"},
      {"more than asked", 2, {{"XYZ", 0}}, serial::ComOk, "XY"},
  };
  // 300 ms per read keeps the failing cases short.
  serial::ComSetReadTimeout(handle_, 30);
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.label);
    serial::ComPurgeInput(handle_);
    for (const Delivery& d : c.deliveries) PeerSends(kPort, d.bytes, d.afterMs);
    std::string got;
    std::int32_t received = -1;
    const auto start = Clock::now();
    EXPECT_EQ(Read(&got, c.count, &received), c.expected);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(got, c.expectedBytes);
    EXPECT_EQ(received, static_cast<std::int32_t>(c.expectedBytes.size()));
    if (c.expected != serial::ComOk) {
      EXPECT_GE(elapsed, 250ms);  // a whole time-out passed without a byte
      EXPECT_LT(elapsed, 5s);
    }
  }
}

TEST_F(LineTest, ReadTimeoutReadsBackInUnitsOfTenMilliseconds) {
  EXPECT_EQ(PreviousTimeout(handle_, 120), 100);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(AsHandle(handle_), &t));
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1200u);
  EXPECT_EQ(PreviousTimeout(handle_, 120), 120);
  EXPECT_EQ(PreviousTimeout(handle_, 100), 120);
}

TEST_F(LineTest, PurgeDrainsInChunksAndRestoresTheTimeout) {
  PeerSends(kPort, std::string(1100, 'p'));
  ASSERT_TRUE(WaitForInput(handle_, 1100));
  EXPECT_EQ(serial::ComPurgeInput(handle_), serial::ComOk);
  EXPECT_EQ(Waiting(handle_), 0u);
  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(AsHandle(handle_), &t));
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
  // Input that arrives after the purge is read intact.
  PeerSends(kPort, "fresh");
  std::string got;
  std::int32_t received = 0;
  EXPECT_EQ(Read(&got, 5, &received), serial::ComOk);
  EXPECT_EQ(got, "fresh");
}

TEST_F(LineTest, SendAllDiscardsStaleInputAndReceiveExactTakesTheReply) {
  PeerSends(kPort, "stale");
  ASSERT_TRUE(WaitForInput(handle_, 5));
  const std::string request = "request";
  serial::TransferPort line(handle_);
  ASSERT_EQ(line.SendAll(request.data(), static_cast<std::int32_t>(request.size())), serial::ComOk);
  EXPECT_EQ(PeerTakes(kPort, request.size()), request);
  PeerSends(kPort, "reply");
  char buffer[5] = {};
  ASSERT_EQ(line.ReceiveExact(buffer, 5), serial::ComOk);
  EXPECT_EQ(std::string(buffer, 5), "reply");

  serial::TransferPort closed(0);
  EXPECT_NE(closed.SendAll(request.data(), 1), serial::ComOk);
  EXPECT_NE(closed.ReceiveExact(buffer, 1), serial::ComOk);
}

struct ControlCase {
  std::uint16_t flags;
  DWORD dtr;
  DWORD rts;
  const char* wineDiffers;
};

class ControlFlags : public LineTest, public ::testing::WithParamInterface<ControlCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer::Get().connected()) << "no peer: run under zelqd_wine_peer";
    PeerResets();
  }
};

TEST_P(ControlFlags, ChooseTheDtrAndRtsModes) {
  const ControlCase& c = GetParam();
  if (c.wineDiffers != nullptr) SKIP_UNDER_WINE(c.wineDiffers);
  SKIP_UNDER_WINE(
      "GetCommState on a pseudo-terminal reports DTR and RTS control as enabled, "
      "whatever was set");
  ASSERT_EQ(OpenWithFlags(c.flags), serial::ComOk);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  ASSERT_TRUE(GetCommState(AsHandle(handle_), &dcb));
  EXPECT_EQ(dcb.fDtrControl, c.dtr);
  EXPECT_EQ(dcb.fRtsControl, c.rts);
}

// RTS handshake is the one mode that shows on the line's settings: hardware
// flow control.
TEST_P(ControlFlags, RtsHandshakeTurnsOnHardwareFlowControl) {
  const ControlCase& c = GetParam();
  if (c.wineDiffers != nullptr) SKIP_UNDER_WINE(c.wineDiffers);
  ASSERT_EQ(OpenWithFlags(c.flags), serial::ComOk);
  EXPECT_EQ(PeerLine(kPort).ctsRts, c.rts == RTS_CONTROL_HANDSHAKE ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Win, ControlFlags,
    ::testing::Values(ControlCase{0x0000, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, nullptr},
                      ControlCase{0x0008, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, nullptr},
                      ControlCase{0x0001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, nullptr},
                      ControlCase{0x0100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, nullptr},
                      ControlCase{0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE, nullptr},
                      ControlCase{0x8100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, nullptr},
                      ControlCase{0x0202, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, nullptr},
                      ControlCase{0x1000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, nullptr},
                      ControlCase{0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, nullptr},
                      ControlCase{0x2200, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, nullptr},
                      ControlCase{0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE,
                                  "RTS_CONTROL_TOGGLE is refused, so the state write fails"}),
    [](const ::testing::TestParamInfo<ControlCase>& p) {
      char name[16];
      std::snprintf(name, sizeof name, "flags%04X", p.param.flags);
      return std::string(name);
    });

// Without any time-out a read waits until the bytes are there (and, with
// nothing on the line, for ever: that case cannot be tested).
TEST_F(LineTest, ZeroTimeoutsWaitForTheBytes) {
  EXPECT_EQ(PreviousTimeout(handle_, 0), 100);
  PeerSends(kPort, "late", 500);
  std::string got;
  std::int32_t received = 0;
  EXPECT_EQ(Read(&got, 4, &received), serial::ComOk);
  EXPECT_EQ(got, "late");
}

TEST_F(LineTest, HangUpFailsTheReadAtOnce) {
  SKIP_UNDER_WINE("after the far side hangs up, reads look like a silent line");
  serial::ComSetReadTimeout(handle_, 500);
  Peer::Get().Ask("hangup 5");
  std::string got;
  std::int32_t received = 0;
  const auto start = Clock::now();
  EXPECT_EQ(Read(&got, 3, &received), serial::ComIoError);
  EXPECT_LT(Clock::now() - start, 4s);
}

}  // namespace
