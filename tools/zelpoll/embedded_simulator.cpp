#include "embedded_simulator.h"

#include "zelsim/values_file.h"

namespace zelpoll {

EmbeddedSimulator::EmbeddedSimulator(const zeltools::SimulatorOptions& options,
                                     int bitsPerCharacter, std::FILE* trace)
    : engine_(options.faults),
      trace_(trace, "sim "),
      runner_(engine_, pty_.master(),
              {.paceBaud = options.paceBaud,
               .bitsPerCharacter = bitsPerCharacter,
               .turnaroundMs = options.turnaroundMs,
               .trace = &trace_}) {
  if (!options.valuesFile.empty()) zelsim::LoadValues(options.valuesFile, engine_.table());
  runner_.Start();
}

EmbeddedSimulator::~EmbeddedSimulator() { runner_.Stop(); }

std::string EmbeddedSimulator::Finish() {
  runner_.Stop();
  return zelsim::FormatCounters(engine_.counters());
}

}  // namespace zelpoll
