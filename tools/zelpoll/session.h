// The commands of zelpoll, run against the driver through one host session:
// one DriverInstance and one port for all the commands of a run (a script
// runs many), opened when the first command needs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "embedded_simulator.h"
#include "host.h"
#include "output.h"
#include "simulator_options.h"

namespace zelpoll {

struct PortPlan {
  PortSettings settings;  // settings.name empty: the embedded simulator
  zeltools::SimulatorOptions simulator;
  std::FILE* simulatorTrace = nullptr;
};

// The arguments of one command.
struct CommandArgs {
  std::string name;  // info, read, block, write, stop, resume, check, poll
  std::string address;
  std::int32_t count = 1;
  std::uint32_t value = 0;
  std::vector<std::string> addresses;
  int intervalMs = 1000;
  std::uint64_t polls = 0;  // 0: until interrupted
};

// The address text a command-line argument stands for: a bare number of up
// to five digits is a numeric variable ("42" is "$00042"), "STOP" is
// "$STOP"; anything else goes to the driver as it is.
std::string AddressText(const std::string& argument);

class Session {
 public:
  Session(Host& host, Output& output, const std::string& libraryPath, PortPlan plan);
  ~Session();

  // Runs one command; returns its exit code.
  int Run(const CommandArgs& args, const std::atomic<bool>& interrupted);

  // Closes the port and stops the embedded simulator (printing its counters
  // when it traces).
  void Finish();

 private:
  int OpenPort();
  int Info();
  int Read(const std::string& argument);
  int Block(const std::string& argument, std::int32_t count);
  int Write(const std::string& argument, std::uint32_t value);
  int Gate(bool stop);
  int Check(const std::string& argument);
  int Poll(const std::vector<std::string>& arguments, int intervalMs, std::uint64_t polls,
           const std::atomic<bool>& interrupted);
  // Why a transfer did not succeed, for the person reading.
  std::string Why(std::int32_t result);

  Host& host_;
  Output& output_;
  std::string libraryPath_;
  PortPlan plan_;
  std::unique_ptr<EmbeddedSimulator> simulator_;
  bool portOpen_ = false;
  int portResult_ = -1;  // exit code of the open, once tried
};

// The median of the values (the mean of the middle two for an even count);
// 0 for none.
double Median(std::vector<double> values);

}  // namespace zelpoll
