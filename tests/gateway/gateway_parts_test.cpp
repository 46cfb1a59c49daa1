// zelgw's pieces that stand on their own: the configuration's checks, block
// merging, the register map, tag scaling and the lines' failure reasons.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "core/gateway.h"
#include "core/line_worker.h"
#include "driver_facts.h"
#include "listen_check.h"
#include "modbus/register_map.h"
#include "outcomes.h"
#include "tag_file.h"

namespace zelgw {
namespace {

namespace fs = std::filesystem;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zelgw-parts-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }
  fs::path dir_;
};

constexpr const char kLine[] = "[[line]]\nname = \"a\"\nport = \"pts/1\"\n";

// n lines, the last with the Modbus table given.
std::string Lines(int n, const std::string& lastModbus) {
  std::string text;
  for (int i = 1; i <= n; ++i)
    text += "[[line]]\nname = \"l" + std::to_string(i) + "\"\nport = \"pts/" + std::to_string(i) +
            "\"\n";
  return text + lastModbus;
}

using ConfigChecks = Files;

TEST_F(ConfigChecks, EveryErrorNamesFileLineAndKey) {
  struct Case {
    std::string text;
    std::string expected;  // a part of the one error: "LINE:COLUMN: key: message"
  };
  const Case cases[] = {
      {"x = \n", ":1:5: Error while parsing"},
      {"", "line: no [[line]]"},
      {std::string(kLine) + "baud = 70000\n", ":4:8: line[1].baud: 70000 is out of range 1..65535"},
      {std::string(kLine) + "parity = \"odd-ish\"\n", ":4:10: line[1].parity: must be one of none"},
      {std::string(kLine) + "speed = 9600\n", ":4:9: line[1].speed: unknown key"},
      {"[[line]]\nname = \"a b\"\nport = \"pts/1\"\n", ":2:8: line[1].name: \"a b\": use"},
      {"[[line]]\nname = \"a\"\nport = \"/dev/serial/by-id/x\"\n",
       ":3:8: line[1].port: \"/dev/serial/by-id/x\" is longer than 11"},
      {std::string(kLine) + "[line.modbus]\nunit_id = \"1\"\n",
       ":5:11: line[1].modbus.unit_id: must be an integer, not a string"},
      {std::string(kLine) + "[line.modbus]\nregisters = [{register = 0, variable = 0, count = 10}, "
                            "{register = 19, variable = 50, count = 2}]\n",
       "line[1].modbus.registers[2].register: registers 19..22 overlap registers 0..19"},
      {std::string(kLine) +
           "[line.modbus]\nregisters = [{register = 65500, variable = 0, count = 20}]\n",
       "line[1].modbus.registers[1].count: 20 variables from register 65500 run past register "
       "65535"},
      {std::string(kLine) +
           "[line.modbus]\nregisters = [{register = 0, variable = 99990, count = 20}]\n",
       "count: 20 variables from variable 99990 run past variable 99999"},
      {std::string(kLine) + "[[line]]\nname = \"a\"\nport = \"pts/2\"\n",
       ":4:1: line.name: \"a\" names two lines"},
      {std::string(kLine) + "[[line]]\nname = \"b\"\nport = \"pts/1\"\n",
       ":4:1: line.port: port \"pts/1\" is given to two lines"},
      {std::string(kLine) +
           "[[line]]\nname = \"b\"\nport = \"pts/2\"\n[line.modbus]\nunit_id = 1\n",
       "line[2].modbus.unit_id: unit id 1 selects another line already"},
      {std::string(kLine) + "[[tag]]\nname = \"T\"\nvariable = 100000\n",
       ":6:12: tag[1].variable: 100000 is out of range 0..99999"},
      {std::string(kLine) + "[[tag]]\nname = \"T\"\n", ":4:1: tag[1].variable: missing"},
      {std::string(kLine) + "[[tag]]\nname = \"T\"\nvariable = 1\nline = \"b\"\n",
       ":4:1: tag.line: tag \"T\" names no line: \"b\""},
      {std::string(kLine) + "[[tag]]\nname = \"T\"\nvariable = 1\nscale = 0\n",
       ":7:9: tag[1].scale: must not be 0"},
      {std::string(kLine) + "[[tag]]\nname = \"T\"\nvariable = 1\npoll_ms = 5\n",
       "tag[1].poll_ms: must be 0 (not polled) or at least 10"},
      {std::string(kLine) +
           "[[tag]]\nname = \"T\"\nvariable = 1\n[[tag]]\nname = \"T\"\nvariable = 2\n",
       ":7:1: tag.name: \"T\" names two tags"},
      {std::string(kLine) +
           "[line.modbus]\nregisters = [{register = 0, variable = 0, count = 10}]\n"
           "[[tag]]\nname = \"T\"\nvariable = 10\n",
       "tag.variable: tag \"T\": variable 10 lies in no register range of line \"a\""},
      {std::string(kLine) + "[modbus]\nport = 502\nbacklog = 5\n",
       ":6:11: modbus.backlog: unknown key"},
      {"tag_files = [\"missing.toml\"]\n" + std::string(kLine), "missing.toml: cannot be read"},
      // Only regular files are read, and none that is endless or blocks.
      {"tag_files = [\"folder\"]\n" + std::string(kLine),
       "folder: cannot be read: is a directory, not a regular file"},
      {"tag_files = [\"fifo\"]\n" + std::string(kLine),
       "fifo: cannot be read: is a FIFO, not a regular file"},
      {"tag_files = [\"/dev/zero\"]\n" + std::string(kLine),
       "/dev/zero: cannot be read: is a character device, not a regular file"},
      {"tag_files = [\"huge.toml\"]\n" + std::string(kLine),
       "huge.toml: cannot be read: is larger than 16777216 bytes"},
      // Lines take their place in the file as unit id, up to 247.
      {Lines(248, ""),
       "line[248].modbus: the default unit ids (1 to 247, by the line's place in "
       "the file) ran out: give this line its unit_id"},
  };
  fs::create_directory(dir_ / "folder");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::resize_file(Write("huge.toml", ""), zeltools::kMaxConfigFileBytes + 1);
  for (const Case& c : cases) {
    const std::string file = Write("gw.toml", c.text);
    std::vector<ConfigError> errors;
    LoadConfig(file, errors);
    ASSERT_EQ(errors.size(), 1u) << c.text;
    const std::string text = errors[0].Text();
    EXPECT_NE(text.find(c.expected), std::string::npos) << text;
    // The file comes first.
    EXPECT_TRUE(text.rfind(dir_.string() + "/", 0) == 0 || text.rfind("/dev/", 0) == 0) << text;
  }
}

TEST_F(ConfigChecks, ListenersAreBoundAndReleased) {
  // A free port of this machine, and one the test holds.
  std::string why;
  int error = 0;
  const int held = BindListener("127.0.0.1", 0, why, error);
  ASSERT_GE(held, 0) << why;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ASSERT_EQ(::getsockname(held, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  const std::string busy = std::to_string(ntohs(bound.sin_port));
  const int probe = BindListener("127.0.0.1", 0, why, error);
  ASSERT_GE(probe, 0) << why;
  ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  const std::string free = std::to_string(ntohs(bound.sin_port));
  ::close(probe);
  struct Case {
    std::string modbus, http;  // the tables' keys
    std::string error;         // a part of the one error; "": none
    const char* note;          // a part of the one note; nullptr: none
  };
  const Case cases[] = {
      {"listen = \"127.0.0.1\"\nport = 0", "listen = \"127.0.0.1\"\nport = 0", "", nullptr},
      {"listen = \"999.1.1.1\"\nport = 0", "port = 0",
       "modbus.listen: cannot listen on 999.1.1.1:0: ", nullptr},
      {"listen = \"192.0.2.1\"\nport = 0", "port = 0",
       "modbus.listen: cannot listen on 192.0.2.1:0: Cannot assign requested address", nullptr},
      {"port = 0", "listen = \"192.0.2.1\"\nport = 0",
       "http.listen: cannot listen on 192.0.2.1:0: Cannot assign requested address", nullptr},
      {"listen = \"127.0.0.1\"\nport = " + free, "listen = \"127.0.0.1\"\nport = " + free,
       "http.port: port " + free + " is the Modbus listener's too", nullptr},
      {"listen = \"0.0.0.0\"\nport = " + free, "listen = \"127.0.0.1\"\nport = " + free,
       "is the Modbus listener's too", nullptr},
      {"listen = \"127.0.0.1\"\nport = " + free,
       "enabled = false\nlisten = \"127.0.0.1\"\nport = " + free, "", nullptr},
      // Held by another program (the service itself, say): not the file's fault.
      {"listen = \"127.0.0.1\"\nport = " + busy, "port = 0", "",
       "could not be checked: Address already in use"},
      {"listen = \"127.0.0.1\"\nport = " + busy, "listen = \"127.0.0.1\"\nport = " + busy,
       "is the Modbus listener's too", "could not be checked: Address already in use"},
  };
  for (const Case& c : cases) {
    const std::string file = Write(
        "gw.toml", std::string(kLine) + "[modbus]\n" + c.modbus + "\n[http]\n" + c.http + "\n");
    std::vector<ConfigError> errors;
    const Config config = LoadConfig(file, errors);
    ASSERT_TRUE(errors.empty()) << errors[0].Text();
    const ListenerCheck check = CheckListeners(config);
    const std::string what = c.modbus + " | " + c.http;
    ASSERT_EQ(check.errors.size(), c.error.empty() ? 0u : 1u)
        << what << ": " << (check.errors.empty() ? "" : check.errors[0].Text());
    if (!c.error.empty()) {
      const std::string text = check.errors[0].Text();
      EXPECT_NE(text.find(c.error), std::string::npos) << what << ": " << text;
      EXPECT_EQ(text.find("Connection refused"), std::string::npos) << text;
      EXPECT_EQ(text.rfind(file + ": ", 0), 0u) << text;
    }
    ASSERT_EQ(check.notes.size(), c.note != nullptr ? 1u : 0u) << what;
    if (c.note != nullptr) {
      EXPECT_NE(check.notes[0].find(c.note), std::string::npos) << check.notes[0];
    }
  }
  // Released: the free port can be bound again.
  const int again = BindListener("127.0.0.1", std::stoi(free), why, error);
  EXPECT_GE(again, 0) << why;
  ::close(again);
  ::close(held);
}

TEST_F(ConfigChecks, DefaultsAndTagFilesFillTheConfiguration) {
  Write("more.toml", "[[tag]]\nname = \"B\"\nvariable = 7\nline = \"b\"\nwritable = true\n");
  const std::string file = Write(
      "gw.toml", "tag_files = \"more.toml\"\n" + std::string(kLine) +
                     "[[line]]\nname = \"b\"\nport = \"/tmp/xyzabc\"\n[line.modbus]\n"
                     "word_order = \"low-first\"\nuntagged_writes = true\n"
                     "[[tag]]\nname = \"A\"\nline = \"a\"\nvariable = 3\ntype = \"float32\"\n");
  std::vector<ConfigError> errors;
  const Config config = LoadConfig(file, errors);
  ASSERT_TRUE(errors.empty()) << errors[0].Text();
  ASSERT_EQ(config.modbus.size(), 2u);
  EXPECT_EQ(config.modbus[0].unitId, 1);
  EXPECT_EQ(config.modbus[1].unitId, 2);
  EXPECT_EQ(config.modbus[0].wordOrder, WordOrder::HighFirst);
  EXPECT_EQ(config.modbus[1].wordOrder, WordOrder::LowFirst);
  EXPECT_TRUE(config.modbus[1].untaggedWrites);
  ASSERT_EQ(config.modbus[0].ranges.size(), 1u);
  EXPECT_EQ(config.modbus[0].ranges[0].count, 32768);
  EXPECT_EQ(config.plant.lines[0].replyTimeoutMs, 1200);
  EXPECT_EQ(config.plant.lines[1].port, "/tmp/xyzabc");
  ASSERT_EQ(config.plant.tags.size(), 2u);
  EXPECT_EQ(config.plant.tags[0].name, "A");
  EXPECT_EQ(config.plant.tags[0].pollMs, 1000);
  EXPECT_EQ(config.plant.tags[1].name, "B");
  EXPECT_TRUE(config.plant.tags[1].writable);
  EXPECT_EQ(config.modbusListener.port, 502);
  EXPECT_EQ(config.http.address, "127.0.0.1");
  // What a reload cannot change is named; the tags can change.
  Config other = config;
  other.plant.tags.pop_back();
  EXPECT_EQ(RestartOnlyChanges(config, other), "");
  other.plant.lines[1].baud = 19200;
  other.modbusListener.port = 1502;
  EXPECT_EQ(RestartOnlyChanges(config, other), "[[line]], [modbus]");
}

TEST_F(ConfigChecks, UnitIdsBeyondTheDefaultsWhenGiven) {
  const std::string file = Write("gw.toml", Lines(248, "[line.modbus]\nunit_id = 0\n"));
  std::vector<ConfigError> errors;
  const Config config = LoadConfig(file, errors);
  ASSERT_TRUE(errors.empty()) << errors[0].Text();
  EXPECT_EQ(config.modbus[246].unitId, 247);
  EXPECT_EQ(config.modbus[247].unitId, 0);
}

TEST(DriverFacts, TransferBoundFromTheReadTimeOutAndTheLine) {
  namespace facts = zeltools::driver_facts;
  struct Case {
    const char* what;
    int replyTimeoutMs;
    facts::Framing framing;
    int request, reply;
    std::int64_t readTimeoutMs;
    std::int64_t transferMs;  // worked by hand from the per-attempt steps
  };
  // Each attempt: settle, purge, write (1000 + 19 characters), reply; then
  // five leading settles of 2T + request + a 106-value reply + 25.
  const Case cases[] = {
      // settle 1200+888+15+10+25, purge 1200, write 1000+19*2, reply 2400+2*888;
      // leading 2400+15+888+25
      {"106 values, 9600 8N1, the floor",
       1200,
       {9600, 8, 0, 0},
       14,
       852,
       1200,
       5 * 8552 + 5 * 3328},
      {"below the floor", 500, {9600, 8, 0, 0}, 14, 852, 1200, 5 * 8552 + 5 * 3328},
      // settle 20000+888+15+10+25, purge 20000, write 1038, reply 40000+1776;
      // leading 40000+15+888+25
      {"20 s time-out", 20000, {9600, 8, 0, 0}, 14, 852, 20000, 5 * 83752 + 5 * 40928},
      // 11 bits, a character 10 ms; request 175 ms, reply 83 ms, gap 37 ms
      // (four characters), a 106-value reply 7810 ms
      {"a write at 1200 7E2",
       1200,
       {1200, 7, 2, 2},
       19,
       9,
       1200,
       5 * (1520 + 1200 + 1190 + 2566) + 5 * (2400 + 175 + 7810 + 25)},
      // rounded up to units of 10 ms: 1210; 1 value: reply 12 chars = 13 ms
      {"one value, 1201 ms",
       1201,
       {9600, 8, 0, 0},
       14,
       12,
       1210,
       5 * ((1210 + 13 + 15 + 10 + 25) + 1210 + 1038 + (2420 + 26)) + 5 * (2420 + 15 + 888 + 25)},
  };
  for (const Case& c : cases) {
    const std::int64_t t = facts::ReadTimeoutMs(c.replyTimeoutMs);
    EXPECT_EQ(t, c.readTimeoutMs) << c.what;
    EXPECT_EQ(facts::TransferBoundMs(t, c.framing, c.request, c.reply), c.transferMs) << c.what;
  }
  // A line's bound is its longest transfer: a block read of 106 values.
  PlantLine line;
  line.replyTimeoutMs = 20000;
  EXPECT_EQ(LineWorker::CallBound(line),
            std::chrono::milliseconds(5 * 83752 + 5 * 40928) + LineWorker::kStuckMargin);
}

TEST(ClientNetworks, ParseAndMatchBothFamilies) {
  const auto bytes = [](const char* text) {
    std::array<std::uint8_t, 16> out{};
    in_addr v4{};
    if (::inet_pton(AF_INET, text, &v4) == 1) {
      out[10] = out[11] = 0xFF;
      std::memcpy(out.data() + 12, &v4, 4);
    } else {
      EXPECT_EQ(::inet_pton(AF_INET6, text, out.data()), 1) << text;
    }
    return out;
  };
  struct Case {
    const char* network;
    std::vector<const char*> inside, outside;
  };
  const Case cases[] = {
      {"10.1.0.0/16", {"10.1.0.0", "10.1.255.3"}, {"10.2.0.1", "::a01:1"}},
      {"127.0.0.1", {"127.0.0.1"}, {"127.0.0.2", "::1"}},
      {"10.8.0.0/13", {"10.8.0.1", "10.15.255.255"}, {"10.16.0.0", "10.7.255.255"}},
      {"0.0.0.0/0", {"1.2.3.4", "255.255.255.255"}, {"::1", "2001:db8::1"}},
      {"::1", {"::1"}, {"::2", "0.0.0.1"}},
      {"2001:db8::/32", {"2001:db8:1::5"}, {"2001:db9::", "::ffff:1.2.3.4"}},
      {"::/0", {"::1", "1.2.3.4"}, {}},
  };
  for (const Case& c : cases) {
    const auto network = ParseClientNetwork(c.network);
    ASSERT_TRUE(network) << c.network;
    for (const char* a : c.inside) EXPECT_TRUE(NetworkContains(*network, bytes(a).data())) << a;
    for (const char* a : c.outside) EXPECT_FALSE(NetworkContains(*network, bytes(a).data())) << a;
  }
  for (const char* bad : {"10.1.2.3/16", "10.0.0.0/33", "::1/129", "10.0.0.0/", "1.2.3.4/8x",
                          "plant-gw", "", "10.0.0.0/-1", "1.2.3.4 "})
    EXPECT_FALSE(ParseClientNetwork(bad)) << bad;
}

TEST(RegisterMaps, RangesAndWordOrder) {
  ModbusLine line;
  line.ranges = {{1000, 90000, 50}, {0, 40000, 100}};
  for (const WordOrder order : {WordOrder::HighFirst, WordOrder::LowFirst}) {
    line.wordOrder = order;
    const RegisterMap map(line);
    struct Case {
      int reg;
      int variable;  // -1: in no range
      int half;
    };
    const Case cases[] = {{0, 40000, 0},    {1, 40000, 1}, {199, 40099, 1},
                          {200, -1, 0},     {999, -1, 0},  {1000, 90000, 0},
                          {1099, 90049, 1}, {1100, -1, 0}, {65535, -1, 0}};
    for (const Case& c : cases) {
      const auto slot = map.At(c.reg);
      ASSERT_EQ(slot.has_value(), c.variable >= 0) << c.reg;
      if (!slot) continue;
      EXPECT_EQ(slot->variable, c.variable) << c.reg;
      EXPECT_EQ(slot->half, c.half) << c.reg;
    }
    const bool high = order == WordOrder::HighFirst;
    EXPECT_EQ(map.Word(0x12345678, 0), high ? 0x1234 : 0x5678);
    EXPECT_EQ(map.Word(0x12345678, 1), high ? 0x5678 : 0x1234);
    EXPECT_EQ(map.Join(map.Word(0xCAFEF00D, 0), map.Word(0xCAFEF00D, 1)), 0xCAFEF00Du);
  }
}

TEST(Tags, ScaleOffsetAndTypeBothWays) {
  struct Case {
    zeltools::ValueType type;
    double scale, offset;
    std::uint32_t raw;
    double value;
  };
  using zeltools::ValueType;
  const Case cases[] = {
      {ValueType::Int32, 0.1, 0, 215, 21.5},
      {ValueType::Int32, 0.1, 0, 0xFFFFFFF6u, -1.0},
      {ValueType::Int32, 2, -40, 50, 60},
      {ValueType::Uint32, 1, 0, 0xFFFFFFF6u, 4294967286.0},
      {ValueType::Float32, 1, 0, 0x42C80000u, 100.0},
      {ValueType::Float32, 10, 1, 0x3F800000u, 11.0},
  };
  for (const Case& c : cases) {
    zeltools::PlantTag tag;
    tag.type = c.type;
    tag.scale = c.scale;
    tag.offset = c.offset;
    EXPECT_DOUBLE_EQ(zeltools::TagValue(tag, c.raw), c.value);
    EXPECT_EQ(zeltools::TagRaw(tag, c.value), c.raw);
  }
  zeltools::PlantTag tag;
  EXPECT_FALSE(zeltools::TagRaw(tag, 3e9).has_value());
  tag.type = ValueType::Uint32;
  EXPECT_FALSE(zeltools::TagRaw(tag, -1).has_value());
}

// A driver that fails every transfer of a port for the reason its name
// gives, and reports each attempt for the instance of the call, as the real
// one does through its observer; a port named "locked" does not open.
std::mutex g_fakeMutex;
std::map<const DriverInstance*, ZelqdReason> g_fakeReason;

std::int32_t FailingZelMain(const DriverCall* call) {
  ZelqdOutcome o{};
  o.size = sizeof o;
  o.instance = call->instance;
  o.badGroup = -1;
  switch (call->code) {
    case CodeGetDriverInfo:
      static_cast<DriverInfo*>(call->params)->instanceSize = sizeof(DriverInstance);
      return ResultOk;
    case CodeParseAddress:
      static_cast<AddressRequest*>(call->params)->variableClass = ZELQD_CLASS_STOP;
      return ResultOk;
    case CodeOpenPort: {
      const std::string name = static_cast<OpenRequest*>(call->params)->name;
      if (name == "locked") {
        o.kind = ZELQD_OUTCOME_OPEN;
        o.reason = ZELQD_REASON_OPEN_FAILED;
        o.openStep = ZELQD_OPEN_STEP_LOCK;
        o.systemError = EAGAIN;
        zeltools::Outcomes::Instance().Deliver(o);
        return ResultFailed;
      }
      std::lock_guard lock(g_fakeMutex);
      g_fakeReason[call->instance] =
          name == "checksum" ? ZELQD_REASON_CHECKSUM : ZELQD_REASON_TIMEOUT;
      call->instance->port = 1;
      return ResultOk;
    }
    case CodeClosePort:
      call->instance->port = 0;
      return ResultOk;
    default: {
      auto* request = static_cast<TransferRequest*>(call->params);
      if (request->variableClass == ZELQD_CLASS_STOP) {
        request->values[0] = ValueSlot{0, 0};
        return ResultOk;
      }
      {
        std::lock_guard lock(g_fakeMutex);
        o.reason = g_fakeReason[call->instance];
      }
      std::memcpy(o.checksumExpected, "3A", 2);
      std::memcpy(o.checksumSeen, "3B", 2);
      o.replyExpected = 12;
      o.attempts = 5;
      for (o.attempt = 1; o.attempt <= 5; ++o.attempt) zeltools::Outcomes::Instance().Deliver(o);
      return ResultFailed;
    }
  }
}

TEST(Reasons, EachLineCountsTheRecordsOfItsOwnInstance) {
  struct Case {
    const char* port;
    const char* key;     // in attemptFailures, or openFailures for an open
    const char* reason;  // in the line's last failure and the tag's reason
  };
  const Case cases[] = {
      {"checksum", "checksum", "failed: checksum: expected 3A, received 3B"},
      {"silent", "no_reply", "failed: no reply within the time-out (0 of 12 bytes)"},
      {"locked", "lock", "open failed at step lock"},
  };
  PlantFile plant;
  for (const Case& c : cases) {
    PlantLine line;
    line.name = line.port = c.port;
    line.reopenAfter = 1000;
    plant.lines.push_back(line);
    PlantTag tag;
    tag.name = tag.line = c.port;
    tag.variable = 7;
    tag.pollMs = 20;
    plant.tags.push_back(tag);
  }
  Gateway gateway(plant, FailingZelMain);
  gateway.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::vector<LineHealth> lines;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lines = gateway.Lines();
  } while ((lines[0].attemptsFailed < 10 || lines[1].attemptsFailed < 10) &&
           std::chrono::steady_clock::now() < deadline);
  const std::vector<TagState> tags = gateway.Tags();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const LineHealth& h = lines[i];
    const bool open = i < 2;
    const auto& counted = open ? h.attemptFailures : h.openFailures;
    ASSERT_EQ(counted.size(), 1u) << c.port;
    EXPECT_EQ(counted.begin()->first, c.key) << c.port;
    EXPECT_EQ(h.attemptsFailed, open ? 5 * h.transfers[0][2] : 0u) << c.port;
    EXPECT_EQ(h.lastFailure.rfind(c.reason, 0), 0u) << c.port << ": " << h.lastFailure;
    EXPECT_EQ(tags[i].reason, open ? c.reason : "not read yet") << c.port;
  }
  EXPECT_TRUE(gateway.Stop(std::chrono::seconds(5)));
}

}  // namespace
}  // namespace zelgw
