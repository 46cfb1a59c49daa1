// The simulator inside zelpoll: the remote computer on a new
// pseudo-terminal, served by a thread of this process, so that the driver
// has a line to talk to without any hardware.
#pragma once

#include <cstdio>
#include <string>

#include "simulator_options.h"
#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"
#include "zelsim/trace.h"

namespace zelpoll {

class EmbeddedSimulator {
 public:
  // Starts serving; trace may be nullptr. Throws std::exception.
  // The pace (when the options set one) takes the characters of the
  // framing the driver opens the port with.
  EmbeddedSimulator(const zeltools::SimulatorOptions& options, int bitsPerCharacter,
                    std::FILE* trace);
  ~EmbeddedSimulator();

  // The name to give OpenPort ("pts/N").
  std::string portName() const { return pty_.shortName(); }
  const std::string& deviceName() const { return pty_.slaveName(); }

  // Stops serving and returns the counters as text.
  std::string Finish();

 private:
  zelsim::PtyPair pty_;
  zelsim::Engine engine_;
  zelsim::Trace trace_;
  zelsim::Runner runner_;
};

}  // namespace zelpoll
