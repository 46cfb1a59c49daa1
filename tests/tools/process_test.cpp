// zelpoll and zelsim as a user runs them: separate processes on a
// pseudo-terminal, judged by their output and exit codes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
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
  Process(const std::vector<std::string>& argv, const fs::path& stem, const std::string& input)
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
  }
  void TearDown() override {
    sim_.reset();
    fs::remove_all(dir_);
  }

  // Starts zelsim with the options; it serves the pseudo-terminal it prints.
  void StartSimulator(std::vector<std::string> options) {
    std::vector<std::string> argv = {ZELSIM_PROGRAM, "--trace", (dir_ / "trace.txt").string(),
                                     "--link", (dir_ / "line").string()};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = std::make_unique<Process>(argv, dir_ / "zelsim", "");
    std::string first;
    for (int i = 0; i < 100 && !Has(first, "port name"); ++i) {
      std::this_thread::sleep_for(100ms);
      first = sim_->Out();
    }
    const auto at = first.find("port name for the driver: ");
    ASSERT_NE(at, std::string::npos) << first;
    port_ = first.substr(at + 26, first.find(')', at) - at - 26);
    ASSERT_EQ(port_.rfind("pts/", 0), 0u) << first;
    ASSERT_TRUE(fs::is_symlink(dir_ / "line"));
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
      {{"block", "1", "107"}, 64, "not in range"},
      {{"write", "1", "4294967296"}, 64, "not a 32-bit value"},
      {{}, 64, "A subcommand is required"},
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

}  // namespace
