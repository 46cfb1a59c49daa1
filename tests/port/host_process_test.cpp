// A host process that has not loaded the host library must survive a
// failed open: the C library's err(3), which exits the process, must never
// receive the driver's message, and a host library whose initialiser makes
// an open fail must not wait for the lookup that is loading it. Each case
// runs the bare host as a child with a library search path of its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support/emulator.h"

extern char** environ;

namespace {

struct Outcome {
  int exitStatus = -1;  // -1: the child did not exit normally, or was killed
  std::string out;
  std::string err;
};

// Reads both pipes to their ends, for at most the time given; false when
// the time ran out first.
bool ReadBoth(int out, int err, Outcome& outcome, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  std::string* texts[2] = {&outcome.out, &outcome.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[512];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
      } else {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  return true;
}

// Runs the bare host with the environment of this process, except that the
// library search path is libraryPath (none when empty).
Outcome RunBareHost(const std::string& libraryPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) env.emplace_back(*e);
  }
  if (!libraryPath.empty()) env.push_back("LD_LIBRARY_PATH=" + libraryPath);
  std::vector<char*> envp;
  for (std::string& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);

  int out[2];
  int err[2];
  Outcome outcome;
  if (::pipe(out) != 0 || ::pipe(err) != 0) return outcome;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);

  std::vector<std::string> command = zelqd::testing::ChildCommand(ZELQD_BARE_HOST);
  std::vector<char*> argv;
  for (std::string& part : command) argv.push_back(part.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned == 0) {
    // A child that hangs is killed: a deadlock fails the case, not the run.
    if (!ReadBoth(out[0], err[0], outcome, std::chrono::seconds(10))) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
  }
  ::close(out[0]);
  ::close(err[0]);
  return outcome;
}

struct HostCase {
  const char* what;
  std::string libraryPath;
  const char* expectedOut;
  const char* expectedErr;
};

TEST(HostProcess, SurvivesAFailedOpenWithTheMessageOnStandardError) {
  const char* const kOnStandardError = "ZELGeneral Purpose : Fail to open /dev/nozq\n";
  const std::vector<HostCase> cases = {
      {"no host library anywhere", "", "open=2 dravun=absent\nafter=0\n", kOnStandardError},
      {"host library found by the library search", ZELQD_DRAVUN_DIR,
       "open=2 dravun=loaded\nafter=0\n", kOnStandardError},
      {"a libdravun.so without err of its own", ZELQD_STRANGE_DRAVUN_DIR,
       "open=2 dravun=absent\nafter=0\n", kOnStandardError},
      // The initialiser's message comes while err is being looked up: it
      // goes to standard error; the host's own message reaches err.
      {"a host library whose initialiser fails an open", ZELQD_REENTRANT_DRAVUN_DIR,
       "initialiser open=2\nerr 32: ZELGeneral Purpose : Fail to open /dev/nozq\n"
       "open=2 dravun=loaded\nafter=0\n",
       "ZELGeneral Purpose : Fail to open /dev/nozq2\n"},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = RunBareHost(c.libraryPath);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(o.out, c.expectedOut);
    EXPECT_EQ(o.err, c.expectedErr);
  }
}

}  // namespace
