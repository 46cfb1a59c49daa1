// zelgw's MQTT front end as it runs: the service as a process on simulated
// remote computers (pseudo-terminals), a mosquitto broker started by each
// test on a free port with a configuration of its own, and libmosquitto
// clients that subscribe and write.
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_support.h"

namespace {

using gateway_test::Contents;
using gateway_test::Eventually;
using gateway_test::Has;
using gateway_test::Remote;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const fs::path& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(out, 1);
    ::dup2(out, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

void End(pid_t& pid, int signal) {
  if (pid <= 0) return;
  ::kill(pid, signal);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

// mosquitto with a configuration of its own, on a free port of 127.0.0.1.
class Broker {
 public:
  Broker(fs::path dir, std::string settings) : dir_(std::move(dir)), port_(FreePort()) {
    std::ofstream(dir_ / "broker.conf")
        << "listener " << port_ << " 127.0.0.1\nuser root\n"
        << "persistence true\npersistence_location " << (dir_ / "").string() << "\n"
        << "autosave_interval 1\nautosave_on_changes true\n"
        << settings;
    Start();
  }
  ~Broker() { End(pid_, SIGTERM); }
  int port() const { return port_; }
  void Start() {
    pid_ = Spawn({"mosquitto", "-c", (dir_ / "broker.conf").string()}, dir_ / "broker.log");
    if (!Eventually([this] { return Listening(port_); }, 5s))
      ADD_FAILURE() << "mosquitto did not start: " << Contents(dir_ / "broker.log");
  }
  void Kill() { End(pid_, SIGKILL); }

 private:
  fs::path dir_;
  int port_;
  pid_t pid_ = -1;
};

struct Message {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
  std::string correlation;
  json Json() const { return json::parse(payload, nullptr, false); }
};

struct Credentials {
  std::string user, password, ca, cert, key;
};

// A libmosquitto client (MQTT 5) on a thread of its own.
class Client {
 public:
  Client(int port, const std::string& subscription, const Credentials& c = {}) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (!c.user.empty()) mosquitto_username_pw_set(mosq_, c.user.c_str(), c.password.c_str());
    if (!c.ca.empty())
      mosquitto_tls_set(mosq_, c.ca.c_str(), nullptr, c.cert.c_str(), c.key.c_str(), nullptr);
    mosquitto_message_v5_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m,
                                                const mosquitto_property* props) {
      Message message{m->topic,
                      std::string(static_cast<const char*>(m->payload),
                                  static_cast<std::size_t>(m->payloadlen)),
                      m->qos, m->retain, ""};
      void* data = nullptr;
      std::uint16_t length = 0;
      if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                         false) != nullptr) {
        message.correlation.assign(static_cast<char*>(data), length);
        std::free(data);
      }
      auto& client = *static_cast<Client*>(self);
      std::lock_guard lock(client.mutex_);
      client.messages_.push_back(std::move(message));
    });
    connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
    if (!subscription.empty()) mosquitto_subscribe(mosq_, nullptr, subscription.c_str(), 2);
    mosquitto_loop_start(mosq_);
  }
  ~Client() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  bool connected() const { return connected_; }

  void Publish(const std::string& topic, const std::string& payload, int qos = 1,
               bool retain = false, const std::string& response = "",
               const std::string& correlation = "") {
    mosquitto_property* props = nullptr;
    if (!response.empty())
      mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, response.c_str());
    if (!correlation.empty())
      mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                    static_cast<std::uint16_t>(correlation.size()));
    mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                         payload.data(), qos, retain, props);
    mosquitto_property_free_all(&props);
  }

  std::size_t Mark() {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }
  // The messages on topic from the mark on.
  std::vector<Message> On(const std::string& topic, std::size_t from = 0) {
    std::lock_guard lock(mutex_);
    std::vector<Message> out;
    for (std::size_t i = from; i < messages_.size(); ++i) {
      if (messages_[i].topic == topic) out.push_back(messages_[i]);
    }
    return out;
  }
  // The first message on topic from the mark on that satisfies want.
  std::optional<Message> Wait(const std::string& topic, std::size_t from,
                              const std::function<bool(const Message&)>& want,
                              std::chrono::milliseconds limit = 10s) {
    std::optional<Message> found;
    Eventually(
        [&] {
          for (const Message& m : On(topic, from)) {
            if (want(m)) {
              found = m;
              return true;
            }
          }
          return false;
        },
        limit);
    return found;
  }

 private:
  mosquitto* mosq_;
  bool connected_ = false;
  std::mutex mutex_;
  std::vector<Message> messages_;
};

// zelgw as a process.
class Zelgw {
 public:
  Zelgw(const fs::path& dir, const std::string& config) : log_(dir / "zelgw.log") {
    std::ofstream(dir / "gw.toml") << config;
    ::unlink(log_.c_str());
    pid_ = Spawn({ZELGW_PROGRAM, "-c", (dir / "gw.toml").string(), "--log-level", "debug"}, log_);
    Eventually([this] { return Has(Log(), "zelgw ready") || Has(Log(), "cannot start"); }, 5s);
  }
  ~Zelgw() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      if (!Eventually([this] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, 5s)) {
        ADD_FAILURE() << "zelgw did not stop on SIGTERM";
        End(pid_, SIGKILL);
      }
    }
  }
  std::string Log() const { return Contents(log_); }
  void Kill() { End(pid_, SIGKILL); }

 private:
  fs::path log_;
  pid_t pid_ = -1;
};

class MqttTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zelgw-mqtt-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    gateway_.reset();
    broker_.reset();
    fs::remove_all(dir_);
  }
  void StartBroker(const std::string& settings = "allow_anonymous true\n") {
    broker_ = std::make_unique<Broker>(dir_, settings);
  }
  // [mqtt] on the broker, line "north" on the remote computer, and the tags.
  std::string Config(const std::string& mqtt, const std::string& tags) const {
    return "[gateway]\nname = \"gw\"\n[modbus]\nlisten = \"127.0.0.1\"\nport = 0\n"
           "[http]\nenabled = false\n"
           "[mqtt]\nhost = \"127.0.0.1\"\nport = " +
           std::to_string(broker_->port()) + "\nprefix = \"t\"\n" + mqtt +
           "[[line]]\nname = \"north\"\nport = \"" + north_.port() +
           "\"\nreopen_after = 1\nreopen_pause_max_s = 1\n" + tags;
  }
  void StartGateway(const std::string& config) { gateway_ = std::make_unique<Zelgw>(dir_, config); }
  static bool Quality(const Message& m, const char* quality) {
    return m.Json()["quality"] == quality;
  }

  fs::path dir_;
  Remote north_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<Zelgw> gateway_;
};

TEST_F(MqttTest, ValuesOnChangeBeyondTheDeadbandOnTheIntervalAndStaleThenGood) {
  StartBroker();
  north_.Set(1, 100);
  north_.Set(2, 7);
  Client sub(broker_->port(), "t/#");
  StartGateway(Config("health_interval_s = 1\n",
                      "[[tag]]\nname = \"A\"\nvariable = 1\npoll_ms = 100\n"
                      "[tag.mqtt]\ndeadband = 1.0\nqos = 2\n"
                      "[[tag]]\nname = \"B\"\nvariable = 2\npoll_ms = 100\n"
                      "[tag.mqtt]\npublish_interval_s = 1\nqos = 0\n"));
  ASSERT_TRUE(sub.Wait("t/gw/status", 0, [](const Message& m) { return m.payload == "online"; }))
      << gateway_->Log();
  ASSERT_TRUE(sub.Wait("t/north/A", 0, [](const Message& m) { return Quality(m, "good"); }));

  // A moves; a message follows only when it has moved by more than 1 from
  // what was published last.
  struct Step {
    std::uint32_t raw;
    bool published;
  };
  const Step steps[] = {{101, false}, {102, true},  {101, false}, {103, false},
                        {104, true},  {103, false}, {105, false}, {100, true}};
  for (const Step& s : steps) {
    const std::size_t mark = sub.Mark();
    north_.Set(1, s.raw);
    if (s.published) {
      const auto m =
          sub.Wait("t/north/A", mark, [&](const Message& x) { return x.Json()["raw"] == s.raw; });
      ASSERT_TRUE(m) << "raw " << s.raw;
      EXPECT_EQ(m->qos, 2);
    } else {
      std::this_thread::sleep_for(400ms);  // four polls
      EXPECT_TRUE(sub.On("t/north/A", mark).empty()) << "raw " << s.raw << " is within 1";
    }
  }

  // B does not change: it comes once a second all the same, with the time
  // of its latest read.
  std::size_t mark = sub.Mark();
  std::this_thread::sleep_for(2300ms);
  const auto b = sub.On("t/north/B", mark);
  ASSERT_GE(b.size(), 2u);
  EXPECT_LE(b.size(), 3u);
  EXPECT_EQ(b[0].qos, 0);
  EXPECT_LT(b[0].Json()["timestamp"].get<std::string>(),
            b[1].Json()["timestamp"].get<std::string>());
  EXPECT_GE(sub.On("t/north/$health", mark).size(), 2u) << "health every second";

  // The line hangs up: the values turn stale and the health says so; when it
  // is back they are good again, with what the remote computer holds now.
  mark = sub.Mark();
  north_.Unplug();
  for (const char* tag : {"t/north/A", "t/north/B"})
    EXPECT_TRUE(sub.Wait(tag, mark, [](const Message& m) { return Quality(m, "stale"); })) << tag;
  EXPECT_TRUE(sub.Wait("t/north/$health", mark, [](const Message& m) {
    return m.Json()["state"] == "reopening" && !m.Json()["last_failure"].is_null();
  }));
  north_.Set(1, 150);
  mark = sub.Mark();
  north_.Plug();
  const auto back =
      sub.Wait("t/north/A", mark, [](const Message& m) { return Quality(m, "good"); });
  ASSERT_TRUE(back) << gateway_->Log();
  EXPECT_EQ(back->Json()["value"], 150);
  // What a subscriber that comes now gets at once: the retained values.
  Client late(broker_->port(), "t/north/A");
  EXPECT_TRUE(late.Wait("t/north/A", 0, [](const Message& m) {
    return m.retain && m.Json()["raw"] == 150 && Quality(m, "good");
  }));
}

TEST_F(MqttTest, WritesAreAnsweredOnTheResponseTopicOrOnResultOncePerMessage) {
  StartBroker();
  north_.Set(101, 215);
  north_.Set(102, 200);
  Client sub(broker_->port(), "#");
  StartGateway(Config("discovery = true\n",
                      "[[tag]]\nname = \"PV\"\nvariable = 101\nscale = 0.1\nunit = \"degC\"\n"
                      "[[tag]]\nname = \"SP\"\nvariable = 102\nscale = 0.1\nwritable = true\n"
                      "poll_ms = 100\n"));
  ASSERT_TRUE(sub.Wait("t/gw/status", 0, [](const Message& m) { return m.payload == "online"; }))
      << gateway_->Log();
  Client writer(broker_->port(), "");
  struct Case {
    const char* tag;
    const char* payload;
    const char* response;  // "": answered on .../set/result
    const char* result;
    const char* status;
    int writes;        // write requests on the line
    std::uint32_t sp;  // variable 102 afterwards
  };
  const Case cases[] = {
      {"SP", "42.5", "", "ok", "ok", 1, 425},
      {"SP", "{\"value\": 43}", "test/answers", "ok", "ok", 1, 430},
      {"SP", "43", "", "ok", "ok", 1, 430},  // the same value again: written again
      {"PV", "1", "", "refused", "rejected", 0, 430},
      {"NOPE", "1", "test/answers", "refused", "rejected", 0, 430},
      {"SP", "abc", "", "refused", "rejected", 0, 430},
      {"SP", "1e12", "", "refused", "rejected", 0, 430},
      {"$STOP", "1", "", "ok", "ok", 0, 430},
      {"SP", "5", "test/answers", "refused", "suspended", 0, 430},
      {"$STOP", "false", "", "ok", "ok", 0, 430},
      {"SP", "5", "", "ok", "ok", 1, 50},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string what = std::string(c.tag) + " " + c.payload;
    const std::string result = std::string("t/north/") + c.tag + "/set/result";
    const std::string correlation = "c-" + std::to_string(++n);
    const std::uint64_t writes = north_.Writes();
    const std::size_t mark = sub.Mark();
    writer.Publish(std::string("t/north/") + c.tag + "/set", c.payload, 1, false, c.response,
                   *c.response != 0 ? correlation : "");
    const std::string where = *c.response != 0 ? c.response : result;
    const auto answer = sub.Wait(where, mark, [](const Message&) { return true; });
    ASSERT_TRUE(answer) << what << "\n" << gateway_->Log();
    const json a = answer->Json();
    EXPECT_EQ(a["result"], c.result) << what << ": " << answer->payload;
    EXPECT_EQ(a["status"], c.status) << what << ": " << answer->payload;
    EXPECT_EQ(a["tag"], c.tag);
    EXPECT_EQ(answer->correlation, *c.response != 0 ? correlation : "") << what;
    if (*c.response != 0) {
      EXPECT_TRUE(sub.On(result, mark).empty()) << what << ": answered twice";
    }
    EXPECT_EQ(north_.Writes() - writes, static_cast<std::uint64_t>(c.writes)) << what;
    EXPECT_EQ(north_.Get(102), c.sp) << what;
  }
  // A response topic where the gateway alone speaks, or where another
  // gateway would take the answer as a write, is not taken.
  for (const char* refused : {"t/north/PV", "t/kiln/TIC9.SP/set", "elsewhere/x/set"}) {
    const std::size_t mark = sub.Mark();
    writer.Publish("t/north/SP/set", "6", 1, false, refused, "c-x");
    const auto answer =
        sub.Wait("t/north/SP/set/result", mark, [](const Message&) { return true; });
    ASSERT_TRUE(answer) << refused;
    EXPECT_EQ(answer->correlation, "c-x");
    EXPECT_FALSE(answer->Json().contains("value")) << "the value is nested: " << answer->payload;
    for (const Message& m : sub.On(refused, mark))
      EXPECT_FALSE(m.Json().contains("result")) << refused << ": " << m.payload;
  }
  // $STOP is a tag as the others: 1 while suspended, 0 again.
  const auto stop = sub.On("t/north/$STOP");
  std::vector<int> values;
  for (const Message& m : stop) values.push_back(m.Json()["value"].get<int>());
  EXPECT_EQ(values, (std::vector<int>{0, 1, 0}));

  // Home Assistant: a number for the writable tag, a sensor for the other,
  // a switch for $STOP, all retained.
  Client late(broker_->port(), "homeassistant/#");
  const auto number = late.Wait("homeassistant/number/gw/north_SP/config", 0,
                                [](const Message& m) { return m.retain; });
  ASSERT_TRUE(number);
  EXPECT_EQ(number->Json()["command_topic"], "t/north/SP/set");
  EXPECT_TRUE(late.Wait("homeassistant/sensor/gw/north_PV/config", 0,
                        [](const Message& m) { return m.retain; }));
  EXPECT_TRUE(late.Wait("homeassistant/switch/gw/north_STOP/config", 0,
                        [](const Message& m) { return m.retain; }));
}

TEST_F(MqttTest, BrokerKilledAndRestartedNothingWrittenTwiceValuesResumedLastWill) {
  StartBroker();
  north_.Set(101, 215);
  north_.Set(102, 200);
  const std::string config =
      Config("",
             "[[tag]]\nname = \"PV\"\nvariable = 101\nscale = 0.1\npoll_ms = 100\n"
             "[[tag]]\nname = \"SP\"\nvariable = 102\nscale = 0.1\nwritable = true\n");
  {
    // A retained set message waits at the broker before the gateway comes.
    Client early(broker_->port(), "");
    early.Publish("t/north/SP/set", "11", 1, true);
    std::this_thread::sleep_for(200ms);
  }
  Client sub(broker_->port(), "t/#");
  StartGateway(config);
  ASSERT_TRUE(sub.Wait("t/gw/status", 0, [](const Message& m) { return m.payload == "online"; }))
      << gateway_->Log();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(north_.Writes(), 0u) << "a retained set message is not replayed to the gateway";
  EXPECT_EQ(north_.Get(102), 200u);
  EXPECT_TRUE(sub.On("t/north/SP/set/result").empty()) << "nor answered";
  // One sent while the gateway listens is carried out, retained or not.
  std::size_t mark = sub.Mark();
  sub.Publish("t/north/SP/set", "12", 1, true);
  ASSERT_TRUE(sub.Wait("t/north/SP/set/result", mark,
                       [](const Message& m) { return m.Json()["result"] == "ok"; }));
  EXPECT_EQ(north_.Writes(), 1u);
  EXPECT_EQ(north_.Get(102), 120u);

  // The broker dies; the values the gateway reads meanwhile come once it is
  // back, the latest of each.
  broker_->Kill();
  ASSERT_TRUE(Eventually([this] { return Has(gateway_->Log(), "mqtt connection lost"); }));
  north_.Set(101, 300);
  std::this_thread::sleep_for(300ms);
  north_.Set(101, 301);
  std::this_thread::sleep_for(300ms);
  broker_->Start();
  Client after(broker_->port(), "t/#");
  const auto pv =
      after.Wait("t/north/PV", 0, [](const Message& m) { return m.Json()["raw"] == 301; });
  ASSERT_TRUE(pv) << gateway_->Log();
  // A value message carries the tag's actual period, here its wished 100 ms.
  ASSERT_TRUE(pv->Json().contains("period_ms")) << pv->payload;
  EXPECT_NEAR(pv->Json()["period_ms"].get<double>(), 100, 50) << pv->payload;
  EXPECT_TRUE(after.Wait("t/gw/status", 0, [](const Message& m) { return m.payload == "online"; }));
  for (const Message& m : after.On("t/north/PV"))
    EXPECT_NE(m.Json()["raw"], 300) << "only the latest value";
  EXPECT_TRUE(after.Wait("t/north/SP/set", 0, [](const Message& m) { return m.retain; }))
      << "the retained set message outlived the broker";
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(north_.Writes(), 1u) << "nothing written twice";
  EXPECT_EQ(north_.Get(102), 120u);

  // The gateway dies: the broker publishes its last will.
  const std::size_t before = after.Mark();
  gateway_->Kill();
  EXPECT_TRUE(after.Wait("t/gw/status", before,
                         [](const Message& m) { return m.payload == "offline" && m.qos == 1; }));
}

// Certificates for a TLS listener that also wants client certificates and
// passwords, made with openssl once for the suite.
class MqttTlsTest : public MqttTest {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/zelgw-mqtt-pki-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    pki_ = dir;
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    std::ofstream(pki_ / "ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    const std::string d = pki_.string() + "/";
    const std::string script =
        "cd " + d + " && openssl req -x509" + ec +
        "-keyout ca.key -out ca.pem -days 2 -subj /CN=zelgw-test-ca && "
        "for n in server client; do openssl req" +
        ec +
        "-keyout $n.key -out $n.csr -subj /CN=$n && "
        "openssl x509 -req -in $n.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out $n.pem || exit 1; done && "
        "mosquitto_passwd -c -b passwords gw right-password && "
        "printf 'right-password\\n' > secret";
    ASSERT_EQ(std::system(("( " + script + " ) >" + d + "log 2>&1").c_str()), 0)
        << Contents(pki_ / "log");
  }
  static void TearDownTestSuite() { fs::remove_all(pki_); }
  static std::string File(const char* name) { return (pki_ / name).string(); }
  static fs::path pki_;
};
fs::path MqttTlsTest::pki_;

TEST_F(MqttTlsTest, ClientCertificateAndPasswordOrNoWayIn) {
  StartBroker("allow_anonymous false\npassword_file " + File("passwords") + "\ncafile " +
              File("ca.pem") + "\ncertfile " + File("server.pem") + "\nkeyfile " +
              File("server.key") + "\nrequire_certificate true\n");
  north_.Set(7, 77);
  const std::string tag = "[[tag]]\nname = \"V\"\nvariable = 7\n";
  const std::string tls = "[mqtt.tls]\nca_file = \"" + File("ca.pem") + "\"\n";
  const std::string cert =
      "cert_file = \"" + File("client.pem") + "\"\nkey_file = \"" + File("client.key") + "\"\n";
  struct Case {
    const char* what;
    std::string mqtt;
    bool online;
    const char* logged;  // on the way in or on being refused
  };
  const Case cases[] = {
      {"certificate and the password from a file",
       "username = \"gw\"\npassword_file = \"" + File("secret") + "\"\n" + tls + cert, true,
       "msg=\"mqtt online\""},
      {"a wrong password", "username = \"gw\"\npassword = \"wrong\"\n" + tls + cert, false,
       "reason=\"refused by the broker: "},
      {"no client certificate", "username = \"gw\"\npassword = \"right-password\"\n" + tls, false,
       "msg=\"mqtt cannot connect\""},
  };
  for (const Case& c : cases) {
    StartGateway(Config(c.mqtt, tag));
    EXPECT_TRUE(Eventually([&] { return Has(gateway_->Log(), c.logged); }, 5s)) << c.what << "\n"
                                                                                << gateway_->Log();
    if (c.online) {
      Client sub(broker_->port(), "t/#",
                 {"gw", "right-password", File("ca.pem"), File("client.pem"), File("client.key")});
      ASSERT_TRUE(sub.connected());
      const auto v =
          sub.Wait("t/north/V", 0, [](const Message& m) { return m.Json()["raw"] == 77; });
      EXPECT_TRUE(v) << c.what;
    } else {
      // Tried again after a pause that grows.
      EXPECT_TRUE(Eventually([&] { return Has(gateway_->Log(), "retry_in_s=2"); }, 5s))
          << c.what << "\n"
          << gateway_->Log();
      EXPECT_FALSE(Has(gateway_->Log(), "mqtt online")) << c.what;
    }
    gateway_.reset();
  }
}

}  // namespace
