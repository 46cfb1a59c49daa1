// Command-line options of the simulator, shared by zelsim and by zelpoll's
// embedded simulator: fault rules, seed, pacing and initial values.
#pragma once

#include <CLI/CLI.hpp>

#include <array>
#include <string>

#include "zelsim/faults.h"

namespace zeltools {

struct SimulatorOptions {
  zelsim::FaultConfig faults;
  std::array<std::string, zelsim::kFaultKinds> rules;  // as written, by Fault
  int paceBaud = 0;
  int turnaroundMs = 0;  // from the end of a request to its reply's first byte
  std::string valuesFile;
};

// Adds the options to app, each name prefixed (zelpoll uses "sim-"), in the
// option group `group`.
void AddSimulatorOptions(CLI::App& app, SimulatorOptions& options, const std::string& prefix,
                         const std::string& group);

// Turns the rules as written into the fault triggers; call after parsing.
// The rules were checked while parsing.
void ApplyFaultRules(SimulatorOptions& options);

// The rule syntax and what each fault does, for the help text.
std::string FaultHelp(const std::string& prefix);

// One line naming the faults in force, or "no faults".
std::string DescribeFaults(const zelsim::FaultConfig& faults);

}  // namespace zeltools
