// zelpoll and zelsim as a user runs them: separate processes on a
// pseudo-terminal, judged by their output and exit codes.
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zelqd_version.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Contents(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Ran {
  int status = -1;  // exit code, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs a program with its standard input, output and error on the files
// stem.in, stem.out and stem.err.
class Process {
 public:
  // runAs: a user to run as (the caller being root), or nullptr.
  Process(const std::vector<std::string>& argv, const fs::path& stem, const std::string& input,
          const passwd* runAs = nullptr)
      : out_(stem.string() + ".out"), err_(stem.string() + ".err") {
    const std::string in = stem.string() + ".in";
    std::ofstream(in) << input;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(::open(in.c_str(), O_RDONLY), 0);
      ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      if (runAs != nullptr && (::setgroups(0, nullptr) != 0 || ::setgid(runAs->pw_gid) != 0 ||
                               ::setuid(runAs->pw_uid) != 0))
        ::_exit(126);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::string Out() const { return Contents(out_); }
  void Signal(int signal) { ::kill(pid_, signal); }

  std::string Err() const { return Contents(err_); }

  // Waits up to a minute for the exit; what it printed, and its exit code.
  Ran Wait() {
    Ran r;
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 6000 && (done = ::waitpid(pid_, &status, WNOHANG)) == 0; ++i)
      std::this_thread::sleep_for(10ms);
    if (done == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
    }
    r.out = Contents(out_);
    r.err = Contents(err_);
    return r;
  }

 private:
  pid_t pid_ = -1;
  std::string out_;
  std::string err_;
};

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zeltools-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    ::chmod(dir, 0755);  // the output files of a run as another user are made here
    // Nothing of zelpoll's may be left here.
    ::setenv("TMPDIR", dir, 1);
  }
  void TearDown() override {
    sim_.reset();
    for (const auto& entry : fs::directory_iterator(dir_))
      EXPECT_EQ(entry.path().filename().string().rfind("zelpoll-", 0), std::string::npos)
          << "left behind: " << entry.path();
    fs::remove_all(dir_);
    if (!shortLink_.empty()) fs::remove(shortLink_);
    ::unsetenv("TMPDIR");
  }

  // Starts zelsim with the options and a link to its pseudo-terminal; it
  // serves the pseudo-terminal it prints.
  void StartSimulator(std::vector<std::string> options, fs::path link = {}) {
    if (link.empty()) link = dir_ / "line";
    std::vector<std::string> argv = {ZELSIM_PROGRAM, "--trace", (dir_ / "trace.txt").string(),
                                     "--link", link.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<Process>(argv, dir_ / "zelsim", "");
    std::string first;
    for (int i = 0; i < 100 && !Has(first, "port name"); ++i) {
      std::this_thread::sleep_for(50ms);
      first = sim_->Out();
    }
    const auto at = first.find("port name for the driver: ");
    ASSERT_NE(at, std::string::npos) << first << sim_->Err();
    port_ = first.substr(at + 26, first.find(')', at) - at - 26);
    ASSERT_EQ(port_.rfind("pts/", 0), 0u) << first;
    ASSERT_TRUE(fs::is_symlink(link));
  }

  // A free path of at most 11 characters for a link, as the driver's port
  // names are: /tmp/z and five letters. Removed at the end.
  std::string ShortLink() {
    std::mt19937 random(static_cast<unsigned>(::getpid()) ^ std::random_device{}());
    for (;;) {
      std::string path = "/tmp/z";
      for (int i = 0; i < 5; ++i) path += static_cast<char>('a' + random() % 26);
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0) return shortLink_ = path;
    }
  }

  // Ends zelsim the way a person does and returns what it printed.
  Ran StopSimulator() {
    sim_->Signal(SIGTERM);
    Ran r = sim_->Wait();
    sim_.reset();
    return r;
  }

  Ran Poll(std::vector<std::string> args, const std::string& input = "") {
    std::vector<std::string> argv = {ZELPOLL_PROGRAM};
    if (!port_.empty()) {
      argv.push_back("--port");
      argv.push_back(port_);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return Process(argv, dir_ / "zelpoll", input).Wait();
  }

  std::string Trace() { return Contents(dir_ / "trace.txt"); }

  fs::path dir_;
  std::string port_;
  std::string shortLink_;
  std::unique_ptr<Process> sim_;
};

TEST_F(Tools, ExitCodesTellTheOutcomesApart) {
  // Writes of variable 500 are answered ERROR: every attempt fails fast.
  StartSimulator({"--error", "var:500"});
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;  // part of stdout or stderr
  };
  const Case cases[] = {
      {{"write", "501", "-123"}, 0, "$00501 <- -123 (0xFFFFFF85)  [ok"},
      {{"read", "$00501"}, 0, "$00501 = -123 (0xFFFFFF85)  [ok"},
      {{"--format", "json", "block", "501", "2"},
       0,
       "{\"address\":\"$00501\",\"value\":-123,\"hex\":\"0xFFFFFF85\"}"},
      {{"write", "500", "1"}, 2, "$00500 <- 1 (0x00000001)  [failed"},
      {{"read", "$1234"}, 1, "$1234  [refused]"},
      {{"check", "$12345"}, 0, "CheckAddress, access kind 0:   ok"},
      {{"check", "$STOP"}, 0, "CheckAddress, access kind 0:   refused"},
      {{"check", "12345"}, 1, "ParseAddress, access kind 6:   refused"},
      {{"block", "1", "107"}, 64, "COUNT takes a whole number from 0 to 106, not \"107\"."},
      {{"write", "1", "4294967296"}, 64, "VALUE takes a 32-bit number"},
      {{},
       64,
       "a command is needed: info, read, block, write, stop, resume, check, poll or "
       "script."},
      {{"--driver", "/nonexistent/libzelqd.so", "info"}, 3, "cannot load the driver"},
      {{"--version"}, 0, "zelpoll " ZELQD_VERSION "\n"},
  };
  for (const auto& c : cases) {
    const Ran r = Poll(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.size() << " " << r.out << r.err;
    EXPECT_TRUE(Has(r.out + r.err, c.output)) << r.out << r.err;
  }
  const std::string trace = Trace();
  EXPECT_TRUE(Has(trace, "<- W seq ! var 00501 value FFFFFF85 sum ")) << trace;
  EXPECT_TRUE(Has(trace, "-> ERROR | <STX>ERROR")) << trace;
  const Ran sim = StopSimulator();
  EXPECT_EQ(sim.status, 0) << sim.err;
  EXPECT_TRUE(Has(sim.out, "values stored                1")) << sim.out;
}

TEST_F(Tools, TagsAndLineQualityAsACommissioningEngineerReadsThem) {
  std::ofstream(dir_ / "values.txt") << "101 215\n40010 0x41A40000\n";
  std::ofstream(dir_ / "plant.toml")
      << "[[line]]\nname = \"boiler\"\nport = \"ttyUSB0\"\n"
         "[[tag]]\nname = \"TIC101.PV\"\nvariable = 101\nunit = \"degC\"\nscale = 0.1\n"
         "[[tag]]\nname = \"TIC101.SP\"\nvariable = 102\nunit = \"degC\"\nscale = 0.1\n"
         "writable = true\n"
         "[[tag]]\nname = \"FIC201.PV\"\nvariable = 40010\ntype = \"float32\"\n"
         "unit = \"m3/h\"\n";
  // Every request for variable 43 gets a corrupted reply: five attempts each.
  StartSimulator({"--values", (dir_ / "values.txt").string(), "--corrupt", "var:43"});
  const std::string tags = "--tags=" + (dir_ / "plant.toml").string();
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;  // part of stdout or stderr
  };
  const Case cases[] = {
      {{tags, "read", "TIC101.PV"}, 0, "TIC101.PV = 21.5 degC (raw 215)  [ok"},
      {{tags, "write", "TIC101.SP", "650"}, 0, "TIC101.SP <- 65 degC (raw 650)  [ok"},
      {{tags, "--format", "json", "read", "FIC201.PV"},
       0,
       "\"address\":\"$40010\",\"value\":1101266944,\"hex\":\"0x41A40000\",\"tag\":\"FIC201.PV\","
       "\"scaled\":20.5,\"unit\":\"m3/h\""},
      {{tags, "poll", "TIC101.PV", "42", "--count", "1"},
       0,
       "TIC101.PV=21.5 degC (raw 215)  $00042=0 (0x00000000)"},
      {{"poll", "42", "--count", "2", "--interval", "10"},
       0,
       "polls 2: ok 2, failed 0, refused 0; transfers 2, attempts 2, retries 0 (0.0% of "
       "attempts); latency"},
      {{"poll", "42", "43", "--count", "1", "--reopen-after", "0"},
       2,
       "polls 1: ok 0, failed 1, refused 0; transfers 2, attempts 6, retries 4 (66.7% of "
       "attempts)"},
      {{"--format", "json", "poll", "43", "--count", "1", "--reopen-after", "0"},
       2,
       "\"transfers\":1,\"attempts\":5,\"retries\":4"},
      {{"read", "100000"},
       64,
       "variable 100000 (from \"100000\") is outside the variables 0 to 99999"},
      {{"poll", "42", "$123456"}, 64, "variable 123456 (from \"$123456\") is outside"},
  };
  for (const auto& c : cases) {
    const Ran r = Poll(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.back() << " " << r.out << r.err;
    EXPECT_TRUE(Has(r.out + r.err, c.output)) << c.output << "\n" << r.out << r.err;
  }
  // The reason of a corrupted reply comes from the driver's record of the
  // attempt: the digits it computed and the digits that came.
  const Ran corrupted = Poll({"read", "43"});
  const std::regex checksum(
      R"(\$00043  \[failed, [0-9.]+ ms\]  checksum: expected ([0-9A-F]{2}), received )"
      R"(([0-9A-F]{2}) \(attempt 5/5\)\n)");
  std::smatch digits;
  ASSERT_TRUE(std::regex_search(corrupted.out, digits, checksum)) << corrupted.out;
  EXPECT_NE(digits[1], digits[2]) << corrupted.out;
}

TEST_F(Tools, EmbeddedSimulatorAnswersWithoutAPort) {
  const Ran r = Poll({"--sim-trace", "script", "-"}, "info\nwrite 7 7\nread 7\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Has(r.out, "short name:    General Purpose")) << r.out;
  EXPECT_TRUE(Has(r.out, "╔═══")) << r.out;
  EXPECT_TRUE(Has(r.out, "$00007 = 7 (0x00000007)  [ok")) << r.out;
  EXPECT_TRUE(Has(r.err, "embedded simulator on /dev/pts/")) << r.err;
  EXPECT_TRUE(Has(r.err, "sim ")) << r.err;
  EXPECT_TRUE(Has(r.err, "<- R seq ! var 00007 count 001")) << r.err;
}

// What the command-line parser itself says must never reach the user.
bool ParserWording(const std::string& text) {
  for (const char* words : {"Run with --help", "is required", "FAILED", "->", "Check ",
                            "not in range", "ubcommand", "Could not convert", "File does not exist",
                            "not expected", "required but received", "excludes", "requires"}) {
    if (Has(text, words)) return true;
  }
  return false;
}

TEST_F(Tools, UsageErrorsAreOnePlainSentenceNamingTheChoices) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    const char* sentence;  // part of the one line on stderr
  };
  const Case cases[] = {
      {ZELPOLL_PROGRAM, {"-p", "", "read", "42"}, "--port needs a device name such as ttyUSB0"},
      {ZELPOLL_PROGRAM, {"--port", "  ", "read", "42"}, "leave --port out to use the embedded"},
      {ZELPOLL_PROGRAM,
       {"--parity", "foo", "read", "1"},
       "--parity takes none, odd, even, mark or space, not \"foo\"."},
      {ZELPOLL_PROGRAM,
       {"--format", "xml", "info"},
       "--format takes text, csv or json, not \"xml\"."},
      {ZELPOLL_PROGRAM, {"frob"}, "frob is not a command; the commands are info, read, block"},
      {ZELPOLL_PROGRAM, {"read"}, "read needs ADDRESS ($nnnnn, a number, or $STOP)."},
      {ZELPOLL_PROGRAM, {"read", "1", "2"}, "read takes ADDRESS, so \"2\" is one too many."},
      {ZELPOLL_PROGRAM, {"--bogus", "info"}, "--bogus is not an option; the options are --port,"},
      {ZELPOLL_PROGRAM,
       {"read", "1", "--interval", "5"},
       "--interval is an option of poll, not of read."},
      {ZELPOLL_PROGRAM, {"info", "--port"}, "--port needs a value: serial device"},
      {ZELPOLL_PROGRAM,
       {"--baud", "115200", "info"},
       "from 1 to 65535, not \"115200\"; the driver's baud field has 16 bits"},
      {ZELPOLL_PROGRAM, {"--stop-bits", "3", "info"}, "--stop-bits takes 1, 1.5 or 2, not \"3\"."},
      {ZELPOLL_PROGRAM,
       {"--sim-drop", "sometimes", "info"},
       "--sim-drop takes a fault rule, and \"sometimes\" is not one"},
      {ZELPOLL_PROGRAM,
       {"block", "99998", "5"},
       "block 99998 5 runs past variable 99999, the last there is: from $99998 at most 2 values "
       "can be read."},
      {ZELPOLL_PROGRAM,
       {"script", "/nonexistent"},
       "cannot read the script /nonexistent: No such file or directory."},
      {ZELSIM_PROGRAM, {"--stop-bits", "1.5"}, "--stop-bits takes 1 or 2, not \"1.5\"."},
      {ZELSIM_PROGRAM,
       {"--baud", "12345", "--device", "/dev/null"},
       "--baud takes a standard rate (50, 75,"},
      {ZELSIM_PROGRAM, {"--save"}, "--save needs --values as well."},
      {ZELSIM_PROGRAM, {"--link", "/tmp/x", "--device", "/dev/null"}, "cannot be given together"},
      {ZELSIM_PROGRAM,
       {"extra"},
       "zelsim takes options only, not \"extra\"; the options are --device,"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {c.program};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Ran r = Process(argv, dir_ / "usage", "").Wait();
    EXPECT_EQ(r.status, 64) << c.sentence << "\n" << r.err;
    EXPECT_TRUE(Has(r.err, c.sentence)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(ParserWording(r.err)) << r.err;
    EXPECT_EQ(r.out, "") << c.sentence;
  }
}

TEST_F(Tools, WarningsAndReasonsOnTheEmbeddedSimulator) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<const char*> out;  // parts of stdout
    const char* err;               // part of stderr
  };
  const Case cases[] = {
      {{"read", "42"},
       0,
       {"$00042 = 0 (0x00000000)  [ok, ", ", embedded simulator]"},
       "no --port given: embedded simulator"},
      {{"stop"}, 0, {"traffic suspended"}, "stop holds only for this run"},
      {{"resume"}, 0, {"traffic resumed"}, "resume on its own changes nothing"},
      {{"--timeout", "120", "read", "1"},
       0,
       {"[ok"},
       "--timeout 120 is below the driver's shortest reply time-out, so it waits 1200 ms"},
      // The remote computer answers ERROR every time: the row says so.
      {{"--sim-error", "always", "write", "42", "1"},
       2,
       {"$00042 <- 1 (0x00000001)  [failed, ", "]  ERROR reply, all 5 attempts\n"},
       ""},
      {{"--format", "csv", "--sim-error", "always", "write", "42", "1"},
       2,
       {"write,,$00042,1,0x00000001,failed,", ",\"ERROR reply, all 5 attempts\",pts/"},
       ""},
      {{"--format", "json", "--sim-error", "always", "write", "42", "1"},
       2,
       {"\"note\":\"ERROR reply, all 5 attempts\""},
       ""},
      {{"--format", "json", "--sim-corrupt", "always", "poll", "7", "--count", "1"},
       2,
       {"\"result\":\"failed\",\"latencyMs\":", "}],\"note\":\"checksum: expected "},
       ""},
      {{"--format", "csv", "--sim-corrupt", "always", "poll", "7", "--count", "1"},
       2,
       {"failed,", ",\"checksum: expected "},
       ""},
      // --trace shows every attempt.
      {{"--trace", "-", "--sim-error", "req:1", "write", "42", "1"},
       0,
       {"[ok"},
       "zelqd attempt 1/5 sent \".W!00042"},
  };
  for (const auto& c : cases) {
    const Ran r = Poll(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const char* part : c.out) EXPECT_TRUE(Has(r.out, part)) << part << "\n" << r.out;
    EXPECT_TRUE(Has(r.err, c.err)) << c.err << "\n" << r.err;
  }
}

// Whether a user may execute the program: every folder on its path must let
// the user through, which a private temporary folder does not.
bool CanRun(const passwd& user, const char* program) {
  const pid_t child = ::fork();
  if (child == 0) {
    const bool can = ::setgroups(0, nullptr) == 0 && ::setgid(user.pw_gid) == 0 &&
                     ::setuid(user.pw_uid) == 0 && ::access(program, X_OK) == 0;
    ::_exit(can ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST_F(Tools, AFailedOpenSaysWhy) {
  // A zelpoll that holds the simulator's port for a while.
  StartSimulator({"--quiet"});
  Process holder({ZELPOLL_PROGRAM, "-p", port_, "poll", "1", "--interval", "100", "--count", "100"},
                 dir_ / "holder", "");
  for (int i = 0; i < 100 && !Has(holder.Out(), "#1 "); ++i) std::this_thread::sleep_for(20ms);
  struct Case {
    std::vector<std::string> args;
    std::string note;  // part of stdout
    const passwd* user = nullptr;
  };
  std::vector<Case> cases = {
      {{"-p", "ttyUSB97", "read", "42"},
       "open ttyUSB97  [failed]  no such device: /dev/ttyUSB97 does not exist"},
      {{"-p", "/dev/null", "read", "42"},
       "open /dev/null  [failed]  not a serial device: /dev/null is not a terminal"},
      {{"-p", port_, "read", "42"}, "in use: /dev/" + port_ + " is held by zelpoll (PID "},
      {{"--format", "json", "-p", port_, "read", "42"},
       "\"command\":\"open\",\"result\":\"failed\",\"note\":\"in use: /dev/" + port_ +
           " is held by zelpoll (PID "},
  };
  // Permission: a device of group dialout, for a user outside it (where that
  // user can reach the program at all: a build tree under a private folder
  // keeps it out before the port does).
  char ptyName[64] = {};
  int master = -1, slave = -1;
  const passwd* nobody = ::getpwnam("nobody");
  const group* dialout = ::getgrnam("dialout");
  if (::geteuid() == 0 && nobody != nullptr && dialout != nullptr &&
      CanRun(*nobody, ZELPOLL_PROGRAM) &&
      ::openpty(&master, &slave, ptyName, nullptr, nullptr) == 0) {
    ASSERT_EQ(::chown(ptyName, 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(ptyName, 0660), 0);
    cases.push_back({{"-p", ptyName, "read", "42"},
                     std::string("permission denied: ") + ptyName +
                         " is crw-rw---- root:dialout and nobody is not in group dialout; add the "
                         "user with sudo usermod -aG dialout nobody and log in again",
                     nobody});
  }
  for (const auto& c : cases) {
    std::vector<std::string> argv = {ZELPOLL_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Ran r = Process(argv, dir_ / "open", "", c.user).Wait();
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, c.note)) << c.note << "\n" << r.out << r.err;
  }
  if (master >= 0) {
    ::close(master);
    ::close(slave);
  }
  holder.Signal(SIGINT);
  EXPECT_EQ(holder.Wait().status, 0);
}

// The members of a one-line JSON object, as raw text, with one letter for
// each value's type: s string, n number, b boolean, a array, o object, z null.
std::vector<std::pair<std::string, std::string>> Members(const std::string& object) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t i = object.find('{');
  if (i == std::string::npos) return out;
  const auto skipString = [&](std::size_t at) {  // at: the opening quote
    for (++at; at < object.size() && object[at] != '"'; ++at)
      if (object[at] == '\\') ++at;
    return at + 1;
  };
  ++i;
  while (i < object.size() && object[i] != '}') {
    if (object[i] == ',' || object[i] == ' ') {
      ++i;
      continue;
    }
    const std::size_t keyEnd = skipString(i);
    const std::string key = object.substr(i + 1, keyEnd - i - 2);
    std::size_t at = keyEnd + 1;  // past ':'
    const std::size_t start = at;
    int depth = 0;
    while (at < object.size()) {
      const char c = object[at];
      if (c == '"') {
        at = skipString(at);
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') {
        if (depth == 0) break;
        --depth;
      }
      if (c == ',' && depth == 0) break;
      ++at;
    }
    out.emplace_back(key, object.substr(start, at - start));
    i = at;
  }
  return out;
}

char TypeOf(const std::string& raw) {
  switch (raw.empty() ? '?' : raw[0]) {
    case '"':
      return 's';
    case '{':
      return 'o';
    case '[':
      return 'a';
    case 't':
    case 'f':
      return 'b';
    case 'n':
      return 'z';
    default:
      return (raw[0] == '-' || std::isdigit(static_cast<unsigned char>(raw[0]))) ? 'n' : '?';
  }
}

TEST_F(Tools, JsonRecordsFollowOneSchema) {
  // Every field of every record, with its one type (as docs/zelpoll.md lists them).
  const std::map<std::string, char> schema = {
      {"time", 's'},         {"command", 's'},      {"result", 's'},
      {"port", 's'},         {"simulator", 'b'},    {"note", 's'},
      {"address", 's'},      {"value", 'n'},        {"hex", 's'},
      {"latencyMs", 'n'},    {"values", 'a'},       {"poll", 'n'},
      {"polls", 'n'},        {"ok", 'n'},           {"failed", 'n'},
      {"refused", 'n'},      {"hangups", 'n'},      {"reopens", 'n'},
      {"reopened", 'n'},     {"latencyMinMs", 'n'}, {"latencyMedianMs", 'n'},
      {"latencyMaxMs", 'n'}, {"code", 'n'},         {"message", 's'},
      {"driver", 's'},       {"shortName", 's'},    {"instanceSize", 'n'},
      {"infoTag", 'n'},      {"infoFlagA", 'n'},    {"infoFlagB", 'n'},
      {"banner", 's'},       {"parseAddress", 'a'}, {"checkAddress", 'o'},
      {"transfers", 'n'},    {"attempts", 'n'},     {"retries", 'n'},
      {"tag", 's'},          {"scaled", 'n'},       {"unit", 's'},
  };
  const std::map<std::string, char> valueSchema = {
      {"address", 's'}, {"value", 'n'}, {"hex", 's'}, {"tag", 's'}, {"scaled", 'n'}, {"unit", 's'}};
  const Ran script = Poll({"--format", "json", "--sim-corrupt", "req:2-6", "script", "-"},
                          "info\ncheck $00042\nwrite 42 -5\nread 42\nblock 41 3\nstop\nread 42\n"
                          "resume\npoll 42 43 --count 2 --interval 10\nread 42x\n");
  const Ran open = Poll({"--format", "json", "-p", "ttyUSB97", "read", "1"});
  std::map<std::string, int> commands;
  std::istringstream lines(script.out + open.out);
  for (std::string line; std::getline(lines, line);) {
    const auto members = Members(line);
    ASSERT_FALSE(members.empty()) << line;
    // A failed record always says why.
    if (Has(line, "\"result\":\"failed\"")) {
      EXPECT_TRUE(Has(line, "\"note\":\"")) << line;
    }
    for (const auto& [key, raw] : members) {
      const auto known = schema.find(key);
      ASSERT_NE(known, schema.end()) << "field " << key << " is not in the schema: " << line;
      EXPECT_EQ(TypeOf(raw), known->second) << key << " in " << line;
      if (key == "command") ++commands[raw];
      if (key != "values") continue;
      for (std::size_t at = raw.find('{'); at != std::string::npos; at = raw.find('{', at + 1)) {
        for (const auto& [item, itemRaw] : Members(raw.substr(at))) {
          ASSERT_TRUE(valueSchema.contains(item)) << item << " in " << line;
          EXPECT_EQ(TypeOf(itemRaw), valueSchema.at(item)) << item << " in " << line;
        }
      }
    }
  }
  for (const char* command :
       {"\"info\"", "\"check\"", "\"write\"", "\"read\"", "\"block\"", "\"stop\"", "\"resume\"",
        "\"poll\"", "\"summary\"", "\"open\"", "\"message\""})
    EXPECT_GT(commands[command], 0) << command << " not seen:\n" << script.out << open.out;
}

TEST_F(Tools, ZelsimNeverTakesOverALinkItDidNotMake) {
  const fs::path link = dir_ / "line";
  StartSimulator({"--quiet"});
  const std::string first = fs::read_symlink(link);
  // A second one is refused, and the first one's link stays.
  const Ran refused =
      Process({ZELSIM_PROGRAM, "--quiet", "--link", link.string()}, dir_ / "second", "").Wait();
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(Has(refused.err, "--link " + link.string() + " exists already (a link to " + first +
                                   ", perhaps another zelsim's or a bridge's); give --force"))
      << refused.err;
  EXPECT_EQ(fs::read_symlink(link), first);
  // With --force it takes the link over; the first one, ending, leaves it.
  Process third({ZELSIM_PROGRAM, "--quiet", "--force", "--link", link.string()}, dir_ / "third",
                "");
  for (int i = 0; i < 100 && fs::read_symlink(link) == first; ++i)
    std::this_thread::sleep_for(20ms);
  const std::string taken = fs::read_symlink(link);
  EXPECT_NE(taken, first);
  EXPECT_EQ(StopSimulator().status, 0);
  EXPECT_EQ(fs::read_symlink(link), taken);
  third.Signal(SIGTERM);
  EXPECT_EQ(third.Wait().status, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  // Anything but a link is never replaced.
  std::ofstream(dir_ / "file") << "keep";
  const Ran file =
      Process({ZELSIM_PROGRAM, "--force", "--link", (dir_ / "file").string()}, dir_ / "fourth", "")
          .Wait();
  EXPECT_EQ(file.status, 1);
  EXPECT_TRUE(Has(file.err, "exists and is not a symbolic link")) << file.err;
  EXPECT_EQ(Contents(dir_ / "file"), "keep");
}

TEST_F(Tools, PollReopensThePortAfterAHangUpAndGoesOn) {
  const std::string link = ShortLink();
  StartSimulator({"--quiet"}, link);
  Process poll({ZELPOLL_PROGRAM, "-p", link, "poll", "42", "--interval", "100", "--count", "30",
                "--reopen-pause", "100"},
               dir_ / "poll", "");
  for (int i = 0; i < 100 && !Has(poll.Out(), "#3 "); ++i) std::this_thread::sleep_for(20ms);
  // The far end goes away for a while and comes back on a new device.
  EXPECT_EQ(StopSimulator().status, 0);
  std::this_thread::sleep_for(700ms);
  StartSimulator({"--quiet"}, link);
  const Ran r = poll.Wait();
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  const std::string& out = r.out;
  const auto hangUp = out.find(
      "failed  hang-up: the device went away (errno 5: Input/output error), all 5 attempts\n");
  const auto reopenFailed = out.find("reopen " + link +
                                     "  [failed]  after a hang-up: ReopenPort "
                                     "failed, OpenPort failed: no such device: " +
                                     link + " does not exist; next try in 0.1 s");
  const auto reopened = out.find("[ok]  after a hang-up (try ");
  ASSERT_NE(hangUp, std::string::npos) << out;
  ASSERT_NE(reopenFailed, std::string::npos) << out;
  ASSERT_NE(reopened, std::string::npos) << out;
  EXPECT_LT(hangUp, reopenFailed);
  EXPECT_LT(reopenFailed, reopened);
  EXPECT_TRUE(Has(out.substr(reopened), "$00042=0 (0x00000000)")) << out;
  EXPECT_TRUE(Has(out, "port closed (no such device: ")) << out;
  EXPECT_TRUE(Has(out, "polls 30: ok ")) << out;
  EXPECT_TRUE(Has(out, "; hang-ups 1, reopens ")) << out;
  EXPECT_TRUE(Has(out, " (1 opened the port)")) << out;
}

TEST_F(Tools, CtrlCEndsTheRunWithoutWaitingOutTheAttempts) {
  using Clock = std::chrono::steady_clock;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* ready;                 // on stdout or stderr once zelpoll is at work
    std::vector<int> signals;          // 300 ms apart, the first 500 ms after it is at work
    std::chrono::milliseconds within;  // from the last signal to the exit
    int status;
    std::vector<const char*> out;  // parts of stdout
    const char* err;
  };
  const Case cases[] = {
      {"a silent line: the read is given up after one reply time-out",
       {"--sim-silent", "always", "read", "42"},
       "no --port given",
       {SIGINT},
       2500ms,
       130,
       {},
       "zelpoll: interrupted: read $00042 abandoned after attempt 1/5, no reply within the "
       "time-out (0 of 12 bytes)"},
      {"a second Ctrl-C ends it at once, with the summary of the polls that finished",
       {"--sim-silent", "req:2-", "--timeout", "5000", "poll", "42", "--interval", "10"},
       "#1 ",
       {SIGINT, SIGINT},
       1500ms,
       0,
       {"polls 1: ok 1, failed 0, refused 0; transfers 1, attempts 1, retries 0 (0.0% of "
        "attempts); latency min ",
        " ms; interrupted twice; poll 2 $00042 abandoned\n"},
       ""},
      {"between polls SIGTERM ends the poll after its transfer",
       {"poll", "42", "--interval", "50"},
       "#1 ",
       {SIGTERM},
       1500ms,
       0,
       {" ms; ended by SIGTERM\n"},
       ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {ZELPOLL_PROGRAM};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process run(argv, dir_ / "interrupt", "");
    for (int i = 0; i < 500 && !Has(run.Out() + run.Err(), c.ready); ++i)
      std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    for (int signal : c.signals) {
      std::this_thread::sleep_for(300ms);
      run.Signal(signal);
    }
    const auto sent = Clock::now();
    const Ran r = run.Wait();
    EXPECT_LT(Clock::now() - sent, c.within) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what << "\n" << r.out << r.err;
    for (const char* part : c.out) EXPECT_TRUE(Has(r.out, part)) << c.what << "\n" << r.out;
    EXPECT_TRUE(Has(r.err, c.err)) << c.what << "\n" << r.err;
  }
}

}  // namespace
