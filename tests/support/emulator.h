// Programs that a test starts run the way the test itself runs: where the
// test runs under a user-mode emulator (a 32-bit build on a kernel without
// 32-bit execution), ZELQD_TEST_EMULATOR names the emulator, and a child
// program is started through it too. Unset, children start directly.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace zelqd::testing {

// The command line that starts program with args: the emulator first when
// ZELQD_TEST_EMULATOR is set.
inline std::vector<std::string> ChildCommand(const std::string& program,
                                             const std::vector<std::string>& args = {}) {
  std::vector<std::string> command;
  const char* emulator = std::getenv("ZELQD_TEST_EMULATOR");
  if (emulator != nullptr && *emulator != '\0') command.emplace_back(emulator);
  command.push_back(program);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

}  // namespace zelqd::testing
