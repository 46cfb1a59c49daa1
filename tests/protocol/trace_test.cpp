// The frame trace: one line per attempt with the reason of a failure, and
// nothing at all unless asked for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "line_fixture.h"
#include "protocol/outcome.h"
#include "protocol/trace.h"
#include "support/emulator.h"
#include "support/trace_control.h"

extern char** environ;

namespace zelqd::testing {
namespace {

namespace fs = std::filesystem;

fs::path ScratchDir() {
  char pattern[] = "/tmp/zelqd-trace-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir != nullptr ? fs::path(dir) : fs::path();
}

std::vector<std::string> LinesOf(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class TraceTest : public LineTest {
 protected:
  TraceTest() : dir_(ScratchDir()), file_(dir_ / "trace.log") {
    request.variableNumber = 42;
    request.variableClass = ZELQD_CLASS_NUMERIC;
    request.values = slots;
    slots[0] = {0, 0x64};
    instance.sequence = 33;
  }
  ~TraceTest() override {
    trace::Stop();
    fs::remove_all(dir_);
  }

  std::int32_t Call(std::int32_t code, std::int32_t count = 1) {
    request.valueCount = count;
    DriverCall call{};
    call.instance = &instance;
    call.code = code;
    call.params = &request;
    return ZelMain(&call);
  }

  fs::path dir_;
  fs::path file_;
  ValueSlot slots[2];
  TransferRequest request{};
};

TEST_F(TraceTest, OneLinePerAttemptWithTheReasonItFailed) {
  ASSERT_TRUE(trace::Start(file_.c_str()));
  platform.writeLimit = 5;  // the first request goes out short
  Answer({"", "", "\x06OK67\r",
          "\x06"
          "ERROR\r\n\r",
          "\x06OK66\r"});
  {
    const auto answer = platform.peer;
    platform.peer = [this, answer](const Bytes& written) {
      platform.writeLimit = UINT32_MAX;
      answer(written);
    };
  }
  EXPECT_EQ(Call(CodeWriteValue), ResultOk);
  Answer(
      {"\x06"
       "000000",
       ReadReply("0000001AX00A0002"), ReadReply("0000001A000A0002")});
  EXPECT_EQ(Call(CodeReadBlock, 2), ResultOk);
  request.variableNumber = 100000;
  EXPECT_EQ(Call(CodeReadBlock, 2), ResultFailed);

  const std::vector<std::string> lines = LinesOf(file_);
  const std::string write =
      "sent \".W!000420000006408.\" [04 57 21 30 30 30 34 32 30 30 30 "
      "30 30 30 36 34 30 38 03]";
  const std::vector<std::vector<std::string>> expected = {
      {"attempt 1/5", write, "-> failed: short write"},
      {"attempt 2/5", write, "received 0 bytes \"\" []", "time-out, 0 of 3 reply bytes"},
      {"attempt 3/5", "received 6 bytes \".OK67.\" [06 4F 4B 36 37 0D]",
       "checksum digits expected \"66\" [36 36] seen \"67\" [36 37]"},
      {"attempt 4/5", "received 9 bytes \".ERROR...\"", "-> failed: ERROR reply"},
      {"attempt 5/5", "received 6 bytes \".OK66.\"", "-> ok"},
      {"attempt 1/5", "sent \".R!0004200205.\" [04 52 21 30 30 30 34 32 30 30 32 30 35 03]",
       "received 7 bytes \".000000\" [06 30 30 30 30 30 30]", "time-out, 7 of 20 reply bytes"},
      {"attempt 2/5", "failed: value group 1 is not eight hexadecimal digits"},
      {"attempt 3/5", "received 20 bytes \".0000001A000A0002DB.\"", "-> ok"},
      {"attempt 1/5",
       "-> failed: variable number, value count or value slots unusable; "
       "nothing sent"},
  };
  ASSERT_EQ(lines.size(), expected.size());
  const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z zelqd attempt .*)");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_TRUE(std::regex_match(lines[i], stamp));
    for (const std::string& part : expected[i])
      EXPECT_NE(lines[i].find(part), std::string::npos) << part;
  }
  EXPECT_EQ(lines.back().find(" sent \""), std::string::npos);
}

// A read or write that failed names the system's error; a hang-up names it
// only when one came with it. Each case fails the first attempt only.
TEST_F(TraceTest, AFailedReadOrWriteTellsTheSystemsError) {
  ASSERT_TRUE(trace::Start(file_.c_str()));
  const auto named = [](const char* what, int error) {
    return std::string("-> failed: ") + what + ": " + std::strerror(error) + " (errno " +
           std::to_string(error) + ")";
  };
  const struct {
    Op failing;  // of a write (Op::Write) or a read of one value
    int error;
    bool hangUp;
    std::string reason;
  } cases[] = {{Op::Read, EIO, true, named("the device hung up", EIO)},
               {Op::Read, 0, true, "-> failed: the device hung up"},
               {Op::Write, ENOSPC, false, named("write failed", ENOSPC)},
               {Op::Read, EBADF, false, named("read failed", EBADF)}};
  for (const auto& c : cases) {
    platform.FailOn(c.failing);
    platform.error = static_cast<std::uint32_t>(c.error);
    platform.hangUp = c.hangUp;
    const std::string reply = c.failing == Op::Write ? "\x06OK66\r" : ReadReply("00000001");
    Answer({reply, reply});
    EXPECT_EQ(Call(c.failing == Op::Write ? CodeWriteValue : CodeReadBlock), ResultOk);
    const std::vector<std::string> lines = LinesOf(file_);
    ASSERT_GE(lines.size(), 2u);
    const std::string& failed = lines[lines.size() - 2];
    EXPECT_EQ(failed.substr(failed.size() - std::min(failed.size(), c.reason.size())), c.reason);
  }
}

std::string Contents(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Only a regular file with no other name is a trace file. It is opened
// without following a link and without waiting for a reader, and created
// for its owner alone; anything else leaves the trace off at once, and
// what the variable named is left as it was.
TEST_F(TraceTest, OnlyARegularFileOfItsOwnIsWrittenTo) {
  const mode_t mask = umask(0);  // the mode then shows what the open asked for
  const fs::path victim = dir_ / "victim", old = dir_ / "old", twice = dir_ / "twice";
  std::ofstream(victim) << "keep\n";
  std::ofstream(old) << "old line\n";
  std::ofstream(twice) << "two names\n";
  fs::create_hard_link(twice, dir_ / "second-name");
  fs::create_symlink(victim, dir_ / "link");
  fs::create_symlink(dir_ / "made-through-link", dir_ / "dangling");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo-read").c_str(), 0600), 0);
  const int reader = open((dir_ / "fifo-read").c_str(), O_RDONLY | O_NONBLOCK);
  const int held = open(victim.c_str(), O_RDWR);
  ASSERT_GE(reader, 0);
  ASSERT_GE(held, 0);

  struct Case {
    const char* what;
    std::string target;
    bool on;
  };
  const std::vector<Case> cases = {
      {"a new file", file_.string(), true},
      {"a file that exists", old.string(), true},
      {"a link to a file", (dir_ / "link").string(), false},
      {"a link to nothing", (dir_ / "dangling").string(), false},
      {"a FIFO without a reader", (dir_ / "fifo").string(), false},
      {"a FIFO with a reader", (dir_ / "fifo-read").string(), false},
      {"a file with a second name", (dir_ / "second-name").string(), false},
      {"a descriptor's link", "/proc/self/fd/" + std::to_string(held), false},
      {"a directory", dir_.string(), false},
      {"a device", "/dev/null", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(trace::Start(c.target.c_str()), c.on);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(trace::Enabled(), c.on);
    trace::Write(protocol::OpenOutcome(nullptr, "ttyS9", 12,
                                       serial::OpenFailure{serial::OpenStep::kOpen, ENOENT}));
    trace::Stop();
  }
  umask(mask);
  close(reader);
  close(held);

  EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(LinesOf(file_).size(), 1u);
  const std::vector<std::string> lines = LinesOf(old);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "old line");
  EXPECT_EQ(Contents(victim), "keep\n");
  EXPECT_EQ(Contents(twice), "two names\n");
  EXPECT_FALSE(fs::exists(dir_ / "made-through-link"));
}

// A failed open of OpenPort, ReopenPort or ChangeZelParams gives one line:
// the name as the host gave it, the step that failed, the system's text
// and number of the error.
TEST_F(TraceTest, AFailedOpenTellsTheStepAndTheSystemsError) {
  ASSERT_TRUE(trace::Start(file_.c_str()));
  struct Case {
    std::int32_t code;
    std::string name;  // as the block carries it, up to its field's size
    Op failing;        // Op::Close: nothing fails, the name does not fit
    serial::OpenStep step;
    int error;
    std::string line;  // after the time: up to the system's text
  };
  const std::string twelve = "ttyUSB123456", sixteen = "/dev/ttyUSB12345";
  const std::vector<Case> cases = {
      {CodeOpenPort, "ttyUSB9", Op::Open, serial::OpenStep::kOpen, ENOENT,
       R"(zelqd open "ttyUSB9" failed: open: )"},
      {CodeOpenPort, "ttyUSB1", Op::Open, serial::OpenStep::kLock, EWOULDBLOCK,
       R"(zelqd open "ttyUSB1" failed: lock: )"},
      {CodeOpenPort, "pts/7", Op::Open, serial::OpenStep::kExclusive, EBUSY,
       R"(zelqd open "pts/7" failed: exclusive: )"},
      {CodeChangeZelParams, "ttyS0", Op::GetState, serial::OpenStep::kSettings, ENOTTY,
       R"(zelqd open "ttyS0" failed: settings: )"},
      {CodeReopenPort, "ttyS2", Op::SetTimeouts, serial::OpenStep::kTimeouts, EIO,
       R"(zelqd open "ttyS2" failed: time-outs: )"},
      {CodeChangeZelParams, "ttyS3", Op::SetState, serial::OpenStep::kSettings, EINVAL,
       R"(zelqd open "ttyS3" failed: settings: )"},
      {CodeOpenPort, twelve, Op::Close, serial::OpenStep::kName, ENAMETOOLONG,
       R"(zelqd open "ttyUSB123456" failed: name: )"},
      {CodeChangeZelParams, sixteen, Op::Close, serial::OpenStep::kName, ENAMETOOLONG,
       R"(zelqd open "/dev/ttyUSB12345" failed: name: )"},
  };
  for (const Case& c : cases) {
    if (c.failing != Op::Close) {
      platform.FailOn(c.failing);
      platform.failStep = c.step;
      platform.error = static_cast<std::uint32_t>(c.error);
    }
    OpenRequest open{};
    PortChangeRequest change{};
    std::memcpy(open.name, c.name.data(), std::min(c.name.size(), sizeof open.name));
    std::memcpy(change.name, c.name.data(), std::min(c.name.size(), sizeof change.name));
    std::memset(instance.portSpec.name, 0, sizeof instance.portSpec.name);
    std::memcpy(instance.portSpec.name, c.name.data(),
                std::min(c.name.size(), sizeof instance.portSpec.name - 1));
    open.active = 1;
    change.settings.baudRate = 9600;
    DriverCall call{};
    call.instance = &instance;
    call.code = c.code;
    call.params = c.code == CodeOpenPort ? static_cast<void*>(&open) : &change;
    EXPECT_EQ(ZelMain(&call), ResultFailed) << c.name;
  }
  trace::Stop();
  const std::vector<std::string> lines = LinesOf(file_);
  ASSERT_EQ(lines.size(), cases.size());
  const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .*)");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Case& c = cases[i];
    EXPECT_TRUE(std::regex_match(lines[i], stamp)) << lines[i];
    EXPECT_EQ(lines[i].substr(25),
              c.line + std::strerror(c.error) + " (errno " + std::to_string(c.error) + ")");
  }
}

// Runs the probe with ZELQD_TRACE set to value (unset when null); its
// standard error goes to errFile.
int RunProbe(const std::vector<std::string>& args, const char* value, const fs::path& errFile) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ZELQD_TRACE=", 12) != 0) env.emplace_back(*e);
  }
  if (value != nullptr) env.push_back(std::string("ZELQD_TRACE=") + value);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStore = zelqd::testing::ChildCommand(ZELQD_TRACE_PROBE, args);
  std::vector<char*> argv;
  for (std::string& s : argStore) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class TraceEnvironmentTest : public ::testing::Test {
 protected:
  TraceEnvironmentTest() : dir_(ScratchDir()), file_(dir_ / "trace.log"), err_(dir_ / "err") {}
  ~TraceEnvironmentTest() override { fs::remove_all(dir_); }
  fs::path dir_;
  fs::path file_;
  fs::path err_;
};

// Each run is a fresh process that reads the variable once and makes one
// silent transfer: five attempts.
TEST_F(TraceEnvironmentTest, VariableChoosesWhereTheLinesGo) {
  struct Case {
    const char* name;
    const char* value;
    std::size_t fileLines;  // after two runs: lines are appended
    std::size_t errLines;   // of the second run
  };
  const std::string file = file_.string();
  for (const Case& c : std::vector<Case>{{"file", file.c_str(), 10, 0},
                                         {"standard error", "-", 0, 5},
                                         {"unset", nullptr, 0, 0},
                                         {"empty", "", 0, 0}}) {
    SCOPED_TRACE(c.name);
    fs::remove(file_);
    ASSERT_EQ(RunProbe({"transfer"}, c.value, err_), 0);
    ASSERT_EQ(RunProbe({"transfer"}, c.value, err_), 0);
    const std::vector<std::string> lines = LinesOf(file_), errors = LinesOf(err_);
    EXPECT_EQ(lines.size(), c.fileLines);
    EXPECT_EQ(errors.size(), c.errLines);
    for (const std::string& line : lines.empty() ? errors : lines)
      EXPECT_NE(line.find("time-out, 0 of 3 reply bytes"), std::string::npos) << line;
    EXPECT_EQ(fs::exists(file_), c.fileLines > 0);
  }
}

// The variable is read also when a failed open is the first thing a host
// does.
TEST_F(TraceEnvironmentTest, AFailedOpenAsTheFirstCallStartsTheTrace) {
  ASSERT_EQ(RunProbe({"open"}, file_.c_str(), err_), 0);
  const std::vector<std::string> lines = LinesOf(file_);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(R"(zelqd open "ttyUSB9" failed: open: )"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("(errno 2)"), std::string::npos) << lines[0];
}

TEST_F(TraceEnvironmentTest, LoadingTheLibraryDoesNoWork) {
  ASSERT_EQ(RunProbe({"load", ZELQD_DRIVER_LIBRARY}, file_.c_str(), err_), 0);
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(fs::is_empty(err_));
}

}  // namespace
}  // namespace zelqd::testing
