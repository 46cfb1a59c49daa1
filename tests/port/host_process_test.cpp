// A host process that has not loaded the host library must survive a
// failed open: the C library's err(3), which exits the process, must never
// receive the driver's message. Each case runs the bare host as a child
// with a library search path of its own.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Outcome {
  int exitStatus = -1;  // -1: the child did not exit normally
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
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

  std::string program = ZELQD_BARE_HOST;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned == 0) {
    // The child writes a few dozen bytes, far below a pipe's capacity.
    outcome.out = ReadAll(out[0]);
    outcome.err = ReadAll(err[0]);
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
};

TEST(HostProcess, SurvivesAFailedOpenWithTheMessageOnStandardError) {
  const std::vector<HostCase> cases = {
      {"no host library anywhere", "", "open=2 dravun=absent\nafter=0\n"},
      {"host library found by the library search", ZELQD_DRAVUN_DIR,
       "open=2 dravun=loaded\nafter=0\n"},
      {"a libdravun.so without err of its own", ZELQD_STRANGE_DRAVUN_DIR,
       "open=2 dravun=absent\nafter=0\n"},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = RunBareHost(c.libraryPath);
    EXPECT_EQ(o.exitStatus, 0);
    EXPECT_EQ(o.out, c.expectedOut);
    EXPECT_EQ(o.err, "ZELGeneral Purpose : Fail to open /dev/nozq\n");
  }
}

}  // namespace
