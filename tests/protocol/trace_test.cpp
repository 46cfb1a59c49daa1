// The frame trace: one line per attempt with the reason of a failure, and
// nothing at all unless asked for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "line_fixture.h"
#include "protocol/trace.h"

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
  platform.FailOn(Op::Write, 1);
  Answer({"", "\x06OK67\r",
          "\x06"
          "ERROR\r\n\r",
          "\x06OK66\r"});
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
      {"attempt 2/5", "failed: value group 1 does not start with a hexadecimal digit"},
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
  std::vector<std::string> argStore = args;
  argStore.insert(argStore.begin(), ZELQD_TRACE_PROBE);
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

TEST_F(TraceEnvironmentTest, LoadingTheLibraryDoesNoWork) {
  ASSERT_EQ(RunProbe({"load", ZELQD_DRIVER_LIBRARY}, file_.c_str(), err_), 0);
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(fs::is_empty(err_));
}

}  // namespace
}  // namespace zelqd::testing
