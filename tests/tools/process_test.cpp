// zelpoll and zelsim as a user runs them: separate processes on a
// pseudo-terminal, judged by their output and exit codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Ran {
  int status = -1;  // exit code, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Starts a program with stdout and stderr on pipes (and stdin from
// /dev/null or the given text).
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& input = "") {
    int out[2], err[2], in[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0 || ::pipe(in) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) ::close(fd);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    if (!input.empty()) {
      const ssize_t n = ::write(in[1], input.data(), input.size());
      static_cast<void>(n);
    }
    ::close(in[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Reads stdout up to the end of the next line (without it), waiting at
  // most `seconds`.
  std::string ReadLine(int seconds = 10) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c;
      if (::read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }

  void Signal(int signal) { ::kill(pid_, signal); }

  // Collects the rest of the output and the exit status.
  Ran Wait(int seconds = 60) {
    Ran r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    bool outOpen = true, errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
      pollfd p[2] = {{outOpen ? out_ : -1, POLLIN, 0}, {errOpen ? err_ : -1, POLLIN, 0}};
      if (::poll(p, 2, 100) <= 0) continue;
      char buffer[4096];
      for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        const ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          (i == 0 ? outOpen : errOpen) = false;
        } else {
          (i == 0 ? r.out : r.err).append(buffer, static_cast<std::size_t>(n));
        }
      }
    }
    if (outOpen || errOpen) return r;  // timed out: the destructor kills it
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    pid_ = -1;
    return r;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
};

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/zeltools-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    std::ofstream(dir_ / "values.txt") << "# start\n7 0x10\n8 -2\n";
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
    sim_ = std::make_unique<Process>(argv);
    std::string first;
    for (int i = 0; i < 3 && !Has(first, "port name"); ++i) first = sim_->ReadLine();
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
    return Process(argv, input).Wait();
  }

  std::string Trace() {
    std::ifstream in(dir_ / "trace.txt");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path dir_;
  std::string port_;
  std::unique_ptr<Process> sim_;
};

TEST_F(Tools, WriteThenReadBackThroughTheSimulatorProcess) {
  StartSimulator({});
  const Ran write = Poll({"write", "42", "-123"});
  EXPECT_EQ(write.status, 0) << write.err;
  EXPECT_TRUE(Has(write.out, "$00042 <- -123 (0xFFFFFF85)  [ok")) << write.out;

  const Ran read = Poll({"read", "$00042"});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(Has(read.out, "$00042 = -123 (0xFFFFFF85)  [ok")) << read.out;

  const Ran block = Poll({"--format", "json", "block", "41", "3"});
  EXPECT_EQ(block.status, 0) << block.err;
  EXPECT_TRUE(Has(block.out, "\"command\":\"block\",\"result\":\"ok\"")) << block.out;
  EXPECT_TRUE(Has(block.out, "{\"address\":\"$00042\",\"value\":-123,\"hex\":\"0xFFFFFF85\"}"))
      << block.out;

  const Ran sim = StopSimulator();
  EXPECT_EQ(sim.status, 0) << sim.err;
  EXPECT_TRUE(Has(sim.out, "counters:")) << sim.out;
  EXPECT_TRUE(Has(sim.out, "values stored                1")) << sim.out;
  const std::string trace = Trace();
  EXPECT_TRUE(Has(trace, "<- W seq ! var 00042 value FFFFFF85 sum ")) << trace;
  EXPECT_TRUE(Has(trace, "-> values 00000000 FFFFFF85 00000000 sum ")) << trace;
}

TEST_F(Tools, InitialValuesAndSavingThemBack) {
  StartSimulator({"--values", (dir_ / "values.txt").string(), "--save"});
  const Ran read = Poll({"--format", "csv", "block", "7", "2"});
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(Has(read.out, "time,command,poll,address,value,hex,result,latency_ms,note\n"))
      << read.out;
  EXPECT_TRUE(Has(read.out, ",block,,$00007,16,0x00000010,ok,")) << read.out;
  EXPECT_TRUE(Has(read.out, ",block,,$00008,-2,0xFFFFFFFE,ok,")) << read.out;
  EXPECT_EQ(Poll({"write", "99999", "0x7fffffff"}).status, 0);

  EXPECT_EQ(StopSimulator().status, 0);
  std::ifstream saved(dir_ / "values.txt");
  std::stringstream text;
  text << saved.rdbuf();
  EXPECT_EQ(text.str(), "# variable value\n7 0x00000010\n8 0xFFFFFFFE\n99999 0x7FFFFFFF\n");
}

TEST_F(Tools, ExitCodesTellTheOutcomesApart) {
  // Writes of variable 500 are answered ERROR: every attempt fails fast.
  StartSimulator({"--error", "var:500"});
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* output;  // part of stdout or stderr
  };
  const Case cases[] = {
      {{"write", "501", "1"}, 0, "$00501 <- 1 (0x00000001)  [ok"},
      {{"write", "500", "1"}, 2, "$00500 <- 1 (0x00000001)  [failed"},
      {{"read", "$1234"}, 1, "$1234  [refused]"},
      {{"check", "$12345"}, 0, "CheckAddress, access kind 0:   ok"},
      {{"check", "$STOP"}, 0, "CheckAddress, access kind 0:   refused"},
      {{"check", "12345"}, 1, "ParseAddress, access kind 6:   refused"},
      {{"block", "1", "107"}, 64, "not in range"},
      {{"write", "1", "4294967296"}, 64, "not a 32-bit value"},
      {{}, 64, "A subcommand is required"},
      {{"--driver", "/nonexistent/libzelqd.so", "info"}, 3, "cannot load the driver"},
  };
  for (const auto& c : cases) {
    const Ran r = Poll(c.args);
    EXPECT_EQ(r.status, c.status) << c.args.size() << " " << r.out << r.err;
    EXPECT_TRUE(Has(r.out + r.err, c.output)) << r.out << r.err;
  }
  EXPECT_TRUE(Has(Trace(), "-> ERROR | <STX>ERROR")) << Trace();
  EXPECT_EQ(StopSimulator().status, 0);
}

TEST_F(Tools, PortThatDoesNotOpenFailsWithTheDriverMessage) {
  port_ = "ttyNONE9";
  const Ran r = Poll({"read", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Has(r.err, "ZELGeneral Purpose : Fail to open ttyNONE9")) << r.err;
}

TEST_F(Tools, ScriptSuspendsAndResumesTraffic) {
  StartSimulator({});
  const Ran r = Poll({"script", "-"},
                     "write 42 100\nstop\nread 42   # refused while suspended\nread STOP\n"
                     "resume\nread 42\n");
  EXPECT_EQ(r.status, 1) << r.err;  // the gravest outcome: one refusal
  EXPECT_TRUE(Has(r.out, "> read 42\n$00042  [refused")) << r.out;
  EXPECT_TRUE(Has(r.out, "traffic is suspended ($STOP = 1)")) << r.out;
  EXPECT_TRUE(Has(r.out, "$STOP = 1 (0x00000001)  [ok")) << r.out;
  EXPECT_TRUE(Has(r.out, "> read 42\n$00042 = 100 (0x00000064)  [ok")) << r.out;
  // The refused read never reached the line: one write and one read did.
  const Ran sim = StopSimulator();
  EXPECT_TRUE(Has(sim.out, "    write                      1\n")) << sim.out;
  EXPECT_TRUE(Has(sim.out, "    read                       1\n")) << sim.out;
}

TEST_F(Tools, PollCountsAndSummarises) {
  // The second poll's first reply is lost; the driver's retry gets it.
  StartSimulator({"--drop", "req:2"});
  const Ran r = Poll({"--format", "json", "poll", "42", "--count", "3", "--interval", "10"});
  EXPECT_EQ(r.status, 0) << r.err;
  int polls = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (Has(line, "\"command\":\"poll\"")) ++polls;
  }
  EXPECT_EQ(polls, 3) << r.out;
  EXPECT_TRUE(Has(r.out, "\"command\":\"summary\",\"result\":\"ok\",\"polls\":3,\"ok\":3"))
      << r.out;
  EXPECT_TRUE(Has(Trace(), "fault drop: reply lost on the line")) << Trace();
  EXPECT_EQ(StopSimulator().status, 0);
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
