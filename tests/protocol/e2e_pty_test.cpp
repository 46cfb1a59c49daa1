// Transfers through ZelMain over a real pseudo-terminal: the driver opens
// the slave side by name, and a scripted remote computer answers on the
// master side from a thread of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_fixture.h"
#include "zelqd/zelqd.h"

namespace {

using namespace std::chrono_literals;

// What the remote computer does with one request.
enum class Act {
  kAnswer,       // the proper reply
  kBadChecksum,  // the reply with checksum digits one off
  kError,        // "ERROR" (a write) or no reply (a read)
  kTrailing,     // the proper reply and three stray bytes after it
};

using zelqd::testing::SumDigits;

// The remote computer: a table of variables behind the master side.
class RemoteComputer {
 public:
  RemoteComputer() {
    int slave = -1;
    if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) return;
    const char* path = ::ttyname(slave);
    if (path != nullptr) name_ = path;
    ::close(slave);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RemoteComputer() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) ::close(master_);
  }

  bool Usable() const { return master_ >= 0 && !name_.empty() && name_.size() <= 11; }
  const std::string& name() const { return name_; }

  // The acts for the next requests, in order; afterwards every request is
  // answered properly.
  void Script(std::vector<Act> acts) {
    std::lock_guard lock(mutex_);
    script_.assign(acts.begin(), acts.end());
  }
  void Set(int number, std::uint32_t value) {
    std::lock_guard lock(mutex_);
    table_[number] = value;
  }
  std::vector<std::string> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Every byte that reached the line and was not a whole request.
  std::string Stray() {
    std::lock_guard lock(mutex_);
    return pending_;
  }

 private:
  void Serve() {
    while (!done_) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0 || (p.revents & POLLIN) == 0) continue;
      char buffer[256];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      std::string request;
      {
        std::lock_guard lock(mutex_);
        pending_.append(buffer, static_cast<std::size_t>(n));
        if (pending_.size() < 2) continue;
        const std::size_t size = pending_[1] == 'W' ? 19 : pending_[1] == 'R' ? 14 : 0;
        if (size == 0 || pending_.size() < size) continue;
        request = pending_.substr(0, size);
        pending_.erase(0, size);
        requests_.push_back(request);
      }
      Answer(request);
    }
  }

  void Answer(const std::string& request) {
    Act act = Act::kAnswer;
    std::string reply;
    {
      std::lock_guard lock(mutex_);
      if (!script_.empty()) {
        act = script_.front();
        script_.pop_front();
      }
      const int number = std::stoi(request.substr(3, 5));
      if (request[1] == 'W') {
        if (act == Act::kError) {
          reply = "\25ERROR\r\n\3";
        } else {
          table_[number] =
              static_cast<std::uint32_t>(std::stoul(request.substr(8, 8), nullptr, 16));
          reply = std::string("\x06OK") + (act == Act::kBadChecksum ? "67" : "66") + "\r";
        }
      } else {
        if (act == Act::kError) return;
        const int count = std::stoi(request.substr(8, 3));
        std::string digits;
        for (int i = 0; i < count; ++i) {
          char group[9];
          std::snprintf(group, sizeof group, "%08X", table_[number + i]);
          digits += group;
        }
        std::string sum = SumDigits(digits);
        if (act == Act::kBadChecksum) sum = sum == "00" ? "01" : "00";
        reply = "\x06" + digits + sum + "\r";
      }
    }
    if (act == Act::kTrailing) reply += "?OK";
    WriteAll(reply);
  }

  void WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }

  int master_ = -1;
  std::string name_;
  std::thread thread_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::deque<Act> script_;
  std::map<int, std::uint32_t> table_;
  std::vector<std::string> requests_;
  std::string pending_;
};

class OverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!remote.Usable()) GTEST_SKIP() << "no pseudo-terminal with a short path";
    OpenRequest open{};
    std::memcpy(open.name, remote.name().c_str(), remote.name().size() + 1);
    open.active = 1;
    open.replyTimeout = 20;  // raised to the driver's minimum of 1.2 s
    open.settings.baudRate = 9600;
    open.settings.dataBits = 8;
    ASSERT_EQ(Call(CodeOpenPort, &open), ResultOk);
  }
  void TearDown() override {
    if (remote.Usable()) Call(CodeClosePort, nullptr);
  }

  std::int32_t Call(std::int32_t code, void* params) {
    DriverCall call{};
    call.instance = reinterpret_cast<DriverInstance*>(instance.data());
    call.code = code;
    call.params = params;
    return ZelMain(&call);
  }

  // Parses an address text into a transfer block.
  TransferRequest Address(const char* text) {
    AddressRequest address{};
    address.addressText = text;
    address.accessKind = text[1] == 'S' ? 6 : 0;  // the host asks for STOP with kind 6
    EXPECT_EQ(Call(CodeParseAddress, &address), ResultOk) << text;
    TransferRequest request{};
    request.variableNumber = address.variableNumber;
    request.variableClass = address.variableClass;
    return request;
  }

  std::int32_t Write(const char* text, std::uint32_t value) {
    ValueSlot slot{static_cast<std::uint16_t>(value >> 16), static_cast<std::uint16_t>(value)};
    TransferRequest request = Address(text);
    request.values = &slot;
    return Call(CodeWriteVar, &request);
  }

  std::int32_t Read(const char* text, std::uint32_t* value) {
    ValueSlot slot{0xDEAD, 0xBEEF};
    TransferRequest request = Address(text);
    request.values = &slot;
    const std::int32_t result = Call(CodeReadVar, &request);
    *value = static_cast<std::uint32_t>(slot.high) << 16 | slot.low;
    return result;
  }

  RemoteComputer remote;
  std::vector<unsigned char> instance = std::vector<unsigned char>(ZELQD_INSTANCE_SIZE, 0);
};

TEST_F(OverPty, WriteThenReadBack) {
  ASSERT_EQ(Write("$00042", 0x64), ResultOk);
  const std::string write0x64To42 = {0x04, 0x57, 0x21, 0x30, 0x30, 0x30, 0x34, 0x32, 0x30, 0x30,
                                     0x30, 0x30, 0x30, 0x30, 0x36, 0x34, 0x30, 0x38, 0x03};
  ASSERT_EQ(remote.Requests().size(), 1u);
  EXPECT_EQ(remote.Requests()[0], write0x64To42);
  ASSERT_EQ(Write("$00043", 0xFEDCBA98), ResultOk);
  std::uint32_t value = 0;
  ASSERT_EQ(Read("$00043", &value), ResultOk);
  EXPECT_EQ(value, 0xFEDCBA98u);
}

TEST_F(OverPty, FullBlockOf106Values) {
  for (int i = 0; i < 106; ++i) remote.Set(1000 + i, 0x01000000u * static_cast<unsigned>(i) + 3);
  std::vector<ValueSlot> slots(106);
  TransferRequest block = Address("$01000");
  block.valueCount = 106;
  block.values = slots.data();
  ASSERT_EQ(Call(CodeReadBlock, &block), ResultOk);
  for (int i = 0; i < 106; ++i) {
    EXPECT_EQ(slots[i].high, 0x0100 * i) << i;
    EXPECT_EQ(slots[i].low, 3) << i;
  }
}

TEST_F(OverPty, FaultyRepliesAreRetried) {
  struct Case {
    const char* name;
    bool write;
    std::vector<Act> acts;
    std::int32_t result;
    std::size_t requests;
  };
  const std::vector<Case> cases = {
      {"write: bad checksum twice", true, {Act::kBadChecksum, Act::kBadChecksum}, ResultOk, 3},
      {"write: ERROR five times", true, std::vector<Act>(5, Act::kError), ResultFailed, 5},
      {"read: bad checksum once", false, {Act::kBadChecksum}, ResultOk, 2},
  };
  remote.Set(7, 0xABCDEF12);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = remote.Requests().size();
    remote.Script(c.acts);
    std::uint32_t value = 0;
    if (c.write) {
      EXPECT_EQ(Write("$00007", 0xABCDEF12), c.result);
    } else {
      EXPECT_EQ(Read("$00007", &value), c.result);
      EXPECT_EQ(value, 0xABCDEF12u);
    }
    EXPECT_EQ(remote.Requests().size() - before, c.requests);
  }
}

TEST_F(OverPty, StrayBytesAfterAReplyAreDiscarded) {
  remote.Script({Act::kTrailing});
  ASSERT_EQ(Write("$00001", 1), ResultOk);
  std::this_thread::sleep_for(50ms);  // the stray bytes are in the driver's queue
  std::uint32_t value = 0;
  ASSERT_EQ(Read("$00001", &value), ResultOk);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(remote.Requests().size(), 2u);
}

TEST_F(OverPty, StopSuspendsTrafficUntilResumed) {
  ASSERT_EQ(Write("$STOP", 1), ResultOk);
  std::uint32_t value = 0;
  EXPECT_EQ(Read("$STOP", &value), ResultOk);
  EXPECT_EQ(value & 0xFFFF, 1u);
  EXPECT_EQ(Write("$00003", 3), ResultRefused);
  EXPECT_EQ(Read("$00003", &value), ResultRefused);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(remote.Requests().empty());
  EXPECT_TRUE(remote.Stray().empty());

  ASSERT_EQ(Write("$STOP", 2), ResultOk);
  EXPECT_EQ(Write("$00003", 3), ResultOk);
  EXPECT_EQ(remote.Requests().size(), 1u);
}

}  // namespace
