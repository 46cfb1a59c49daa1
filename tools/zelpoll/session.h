// The commands of zelpoll, run against the driver through one host session:
// one DriverInstance and one port for all the commands of a run (a script
// runs many), opened when the first command needs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "embedded_simulator.h"
#include "host_session.h"
#include "line_quality.h"
#include "outcomes.h"
#include "output.h"
#include "port_check.h"
#include "reopen_policy.h"
#include "simulator_options.h"

namespace zelpoll {

struct PortPlan {
  zeltools::PortSettings settings;  // settings.name empty: the embedded simulator
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
  // The tags of --tags that named address and addresses (parallel to
  // addresses; nullptr where a variable was given as it is).
  const zeltools::PlantTag* tag = nullptr;
  std::vector<const zeltools::PlantTag*> tags;
  int intervalMs = 1000;
  std::uint64_t polls = 0;  // 0: until interrupted
  ReopenSettings reopen;
};

// The address text a command-line argument stands for: a bare number of up
// to five digits is a numeric variable ("42" is "$00042"), "STOP" is
// "$STOP"; anything else goes to the driver as it is.
std::string AddressText(const std::string& argument);

// Why an address cannot be right, as a sentence ("" when it may be): a
// number outside the variables 0 to 99999, which no request can name. Only
// numbers are judged here; other texts are the driver's to refuse.
std::string AddressRangeProblem(const std::string& argument);

// The same for a block read, which also must not run past variable 99999.
std::string BlockRangeProblem(const std::string& argument, std::int32_t count);

// The range problem of a command's addresses, "" when there is none.
std::string CommandRangeProblem(const CommandArgs& args);

// The note for a transfer that failed, from the driver's records of its
// attempts: the reason of the last, and whether every attempt failed the
// same way ("ERROR reply, all 5 attempts"). Empty without records.
std::string FailureNote(const std::vector<zeltools::Outcome>& records);

class Session {
 public:
  // The session's records come from the outcome channel; a driver without
  // them (the channel detached) leaves failed transfers without a reason.
  Session(zeltools::HostSession& host, Output& output, const std::string& libraryPath,
          PortPlan plan);
  ~Session();

  // Runs one command; returns its exit code.
  int Run(const CommandArgs& args, const std::atomic<bool>& interrupted);

  // Closes the port and stops the embedded simulator (printing its counters
  // when it traces).
  void Finish();

  // How the run is being ended ("interrupted", "ended by SIGTERM"), for the
  // summary of a poll; from another thread, before it sees the interrupt.
  void Ending(const std::string& why);

  // Gives up the run from another thread while this one may be inside the
  // driver: writes the summary of the polls that finished (why: how the run
  // ended), or says which command was abandoned, and closes the output.
  // Returns the exit code: that of the polls that finished, or
  // kExitInterrupted.
  int Abandon(const std::string& why);

 private:
  int OpenPort();
  int Info();
  int Read(const std::string& argument, const zeltools::PlantTag* tag);
  int Block(const std::string& argument, std::int32_t count);
  int Write(const std::string& argument, std::uint32_t value, const zeltools::PlantTag* tag);
  int Gate(bool stop);
  int Check(const std::string& argument);
  int Poll(const CommandArgs& args, const std::atomic<bool>& interrupted);
  // One ReadVar, of a numeric variable or of $STOP.
  std::int32_t ReadOne(const ParsedAddress& address, std::uint32_t* value);
  // Closes the port and opens it again; says so in a row.
  void Reopen(ReopenPolicy& policy, const std::string& why, PollSummary& summary);

  // Runs a driver call that may wait for the line, marked as in progress.
  template <typename F>
  auto InDriver(const std::string& what, F&& call);
  // The driver's records of this session's calls since the last look.
  std::vector<zeltools::Outcome> Records();
  // The note for a transfer's result: the reason of its last attempt when
  // it failed; records receives the transfer's records.
  std::string Why(std::int32_t result, std::vector<zeltools::Outcome>* records = nullptr);
  // Why the port did not open, from the driver's record or the device itself.
  std::string OpenFailure(const std::string& name);
  // How the line was found gone after a failed poll, or "".
  std::string LineGoneHow(const std::vector<zeltools::Outcome>& records);

  zeltools::HostSession& host_;
  Output& output_;
  std::string libraryPath_;
  PortPlan plan_;
  bool observed_;  // whether the driver gives records at all
  std::mutex recordsMutex_;
  std::vector<zeltools::Outcome> records_;  // delivered on the command thread
  std::unique_ptr<EmbeddedSimulator> simulator_;
  zeltools::PortSettings opened_;  // the settings of the first open, the port name filled in
  DeviceIdentity device_;          // the device that open reached
  bool portOpen_ = false;
  int portResult_ = -1;        // exit code of the open, once tried
  std::string closedBecause_;  // why the port is closed after a failed reopen

  // Shared with Abandon().
  std::mutex progressMutex_;
  std::string inDriver_;  // the driver call in progress, or ""
  std::string ending_;
  bool polling_ = false;
  PollSummary pollSummary_;
  std::vector<double> latencies_;
};

// The median of the values (the mean of the middle two for an even count);
// 0 for none.
double Median(std::vector<double> values);

// Sets the latency figures of summary from the latencies.
void SetLatencies(PollSummary& summary, const std::vector<double>& latencies);

}  // namespace zelpoll
