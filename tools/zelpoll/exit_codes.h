// zelpoll's exit codes: one for each kind of outcome a script tells apart.
#pragma once

#include <cstdint>

namespace zelpoll {

inline constexpr int kExitOk = 0;             // every driver call returned ResultOk
inline constexpr int kExitRefused = 1;        // the driver refused (bad address, traffic stopped)
inline constexpr int kExitFailed = 2;         // the port or an exchange failed
inline constexpr int kExitSetup = 3;          // no driver to load, or no simulator to start
inline constexpr int kExitUsage = 64;         // the command line is wrong
inline constexpr int kExitInterrupted = 130;  // Ctrl-C or SIGTERM before the command finished

// The exit code of a driver result.
int ExitFor(std::int32_t result);

// The graver of two exit codes: usage, then setup, interrupted, failed,
// refused, ok.
int Graver(int a, int b);

// The text the tool shows for a driver result: "ok", "refused", "failed".
const char* ResultText(std::int32_t result);

}  // namespace zelpoll
