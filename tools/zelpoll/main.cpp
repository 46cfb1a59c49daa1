// zelpoll: the driver's host on the command line, for checking a line by
// hand and from scripts.
//
// The commands run on a thread of their own; this one waits for signals.
// The driver blocks in a transfer for up to five reply time-outs, and
// nothing interrupts it from outside. So the first Ctrl-C (or SIGTERM)
// lets no new transfer start and gives the one in progress one reply
// time-out to come back; if it does not, or at a second Ctrl-C, this
// thread writes the summary of what finished and ends the process.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "dravun.h"
#include "driver_facts.h"
#include "driver_library.h"
#include "exit_codes.h"
#include "host_session.h"
#include "outcomes.h"
#include "output.h"
#include "session.h"
#include "simulator_options.h"
#include "tag_file.h"
#include "usage.h"
#include "zelqd_version.h"
#include "zelsim/numbers.h"

namespace {

using namespace zelpoll;
using zeltools::OneOf;
using zeltools::Sentence;
using zeltools::WholeNumber;

constexpr const char kDescription[] =
    "zelpoll: reads and writes the remote computer's variables through the zelqd driver, as a "
    "host application does: it loads the driver library and calls ZelMain.\n"
    "\n"
    "Without --port it starts the simulator of the remote computer inside itself, on a new "
    "pseudo-terminal, so that every command can be tried without hardware; its rows say so.\n"
    "\n"
    "ADDRESS is \"$\" and five digits (\"$00042\"), or a bare number of up to five digits "
    "(42 means $00042), or $STOP (STOP). VALUE is decimal (signed or unsigned 32-bit) or 0x "
    "hex. Values are shown as signed decimal and hex.\n"
    "\n"
    "A failed row's note gives the reason of the driver's last attempt, as the driver "
    "records it; --trace switches the driver's frame trace on (as ZELQD_TRACE does), a line "
    "for every attempt.";

constexpr const char kExitCodes[] =
    "Exit codes: 0 ok; 1 refused by the driver (address not accepted, traffic suspended by "
    "$STOP); 2 failed (port not opened, no valid reply in five attempts); 3 driver library not "
    "loadable or simulator not started; 64 usage error; 130 interrupted (Ctrl-C, SIGTERM) "
    "before the command finished. A script or a poll exits with the gravest code of its "
    "commands (usage, 3, 130, 2, 1, 0); a poll ended by Ctrl-C with that of its polls.";

// The driver's shortest reply time-out, in ms.
constexpr std::int64_t kDriverMinimumTimeoutMs = zeltools::driver_facts::kMinReadTimeoutMs;

std::string ValueCheck(const std::string& text) {
  if (zelsim::ParseValue(text)) return {};
  return "VALUE takes a 32-bit number: decimal from -2147483648 to 4294967295, or 0x and up to "
         "8 hex digits, not \"" +
         text + "\".";
}

// Adds the commands to app; the one given on the line sets args.name.
void AddCommands(CLI::App& app, CommandArgs& args) {
  const auto named = [&args](CLI::App* command) {
    command->callback([&args, command] { args.name = command->get_name(); });
    return command;
  };
  named(app.add_subcommand("info", "the driver's description and banner"));
  auto* read = named(app.add_subcommand("read", "read one variable"));
  read->add_option("ADDRESS", args.address, "$nnnnn, a number, or $STOP")->required();
  auto* block = named(app.add_subcommand("block", "read COUNT variables from ADDRESS on"));
  block->add_option("ADDRESS", args.address, "the first variable")->required();
  block->add_option("COUNT", args.count, "values, 0 to 106")
      ->required()
      ->check(WholeNumber("COUNT", 0, ZELQD_MAX_BLOCK));
  auto* write = named(app.add_subcommand("write", "write one variable"));
  write->add_option("ADDRESS", args.address, "$nnnnn, a number, or $STOP")->required();
  write
      ->add_option_function<std::string>(
          "VALUE", [&args](const std::string& v) { args.value = *zelsim::ParseValue(v); },
          "decimal or 0x hex, 32 bits")
      ->required()
      ->check(Sentence(ValueCheck));
  named(app.add_subcommand("stop", "suspend all traffic (write 1 to $STOP) for this run"));
  named(app.add_subcommand("resume", "resume traffic (write 0 to $STOP)"));
  auto* check = named(app.add_subcommand(
      "check", "what ParseAddress and CheckAddress make of an address text (given as it is)"));
  check->add_option("ADDRESS", args.address, "the text, passed unchanged")->required();
  auto* poll = named(app.add_subcommand(
      "poll", "read the variables again and again, one line a poll, a summary at the end"));
  poll->add_option("ADDRESS", args.addresses, "one or more variables")->required();
  poll->add_option("--interval", args.intervalMs, "milliseconds from one poll to the next")
      ->capture_default_str()
      ->check(WholeNumber("--interval", 0, 86400000));
  poll->add_option("--count", args.polls, "number of polls (0: until Ctrl-C)")
      ->capture_default_str()
      ->check(WholeNumber("--count", 0, 999999999999));
  poll->add_option("--reopen-after", args.reopen.after,
                   "failed polls in a row after which the port is closed and opened again "
                   "(at once after a hang-up; 0: never)")
      ->capture_default_str()
      ->check(WholeNumber("--reopen-after", 0, 1000000));
  poll->add_option("--reopen-pause", args.reopen.pauseMs,
                   "milliseconds before the next reopen when one did not bring the line back; "
                   "doubles each time, up to 30 s")
      ->capture_default_str()
      ->check(WholeNumber("--reopen-pause", 10, 3600000));
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The tags of --tags FILE: a tag name stands for its variable.
zeltools::PlantFile g_tags;

// Puts the variable of every tag name among the command's addresses in its
// place, keeping the tag for the rows; a write to a tag that is not
// writable is a usage error.
int ResolveTags(CommandArgs& args) {
  const auto resolve = [&args](std::string& address, const zeltools::PlantTag*& found) {
    const zeltools::PlantTag* tag = g_tags.FindTag(address);
    found = tag;
    if (tag == nullptr) return true;
    if (args.name == "write" && !tag->writable) {
      std::fprintf(stderr, "zelpoll: tag %s is not writable (%s:%d)\n", tag->name.c_str(),
                   tag->file.c_str(), tag->sourceLine);
      return false;
    }
    char text[8];
    std::snprintf(text, sizeof text, "$%05d", tag->variable);
    address = text;
    return true;
  };
  bool ok = resolve(args.address, args.tag);
  args.tags.assign(args.addresses.size(), nullptr);
  for (std::size_t i = 0; i < args.addresses.size(); ++i)
    ok = resolve(args.addresses[i], args.tags[i]) && ok;
  return ok ? kExitOk : kExitUsage;
}

// Runs the commands of a script, one a line ("#" starts a comment).
int RunScript(std::istream& in, Session& session, Output& output,
              const std::atomic<bool>& interrupted) {
  int status = kExitOk;
  std::string line;
  for (int number = 1; !interrupted && !output.broken() && std::getline(in, line); ++number) {
    // The line as written, comment and all, is what a reader of the run sees.
    const std::string written = Trim(line);
    if (const auto hash = line.find('#'); hash != std::string::npos && line.find('$') > hash)
      line.erase(hash);
    line = Trim(line);
    if (line.empty()) {
      if (!written.empty()) output.Comment(written);
      continue;
    }
    CLI::App app("", "zelpoll");
    app.require_subcommand(1);
    CommandArgs args;
    AddCommands(app, args);
    std::string problem;
    try {
      app.parse(line, false);
      problem = CommandRangeProblem(args);
    } catch (const CLI::ParseError& e) {
      problem = zeltools::UsageSentence(e, app);
    }
    if (!problem.empty()) {
      std::fprintf(stderr, "zelpoll: script line %d: %s: %s\n", number, line.c_str(),
                   problem.c_str());
      status = Graver(status, kExitUsage);
      continue;
    }
    output.Command(written);
    if (const int resolved = ResolveTags(args); resolved != kExitOk) {
      status = Graver(status, resolved);
      continue;
    }
    status = Graver(status, session.Run(args, interrupted));
  }
  if (interrupted) status = Graver(status, kExitInterrupted);
  return status;
}

void OnDriverMessage(int code, const char* message, void* context) {
  static_cast<Output*>(context)->Message(code, message);
}

int Usage(const std::string& sentence) {
  std::fprintf(stderr, "zelpoll: %s\n", sentence.c_str());
  return kExitUsage;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-exception-escape): only the fixed option set-up or lack of memory.
int main(int argc, char** argv) {
  (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);  // if refused, stdout keeps its default
  CLI::App app(kDescription, "zelpoll");
  app.set_version_flag("--version", "zelpoll " ZELQD_VERSION);
  app.footer(std::string(kExitCodes) + "\n\n" + zeltools::FaultHelp("sim-"));
  app.require_subcommand(1);
  app.fallthrough();  // port and simulator options may follow the command too

  PortPlan plan;
  std::string driverPath, scriptFile, traceTarget;
  int dataBits = 8;
  Format format = Format::Text;
  bool simTrace = false;

  auto* portOption =
      app.add_option("-p,--port", plan.settings.name,
                     "serial device: ttyUSB0, /dev/ttyUSB0, pts/3, COM1 (/dev/ttyS0); at most 11 "
                     "characters after /dev/. Without it: the embedded simulator")
          ->type_name("DEVICE")
          ->group("Port");
  app.add_option("--baud", plan.settings.baudRate,
                 "baud rate, 1 to 65535: the driver's baud field has 16 bits")
      ->capture_default_str()
      ->check(WholeNumber("--baud", 1, 65535,
                          "the driver's baud field has 16 bits, so faster rates cannot be given"))
      ->group("Port");
  app.add_option("--data-bits", dataBits, "data bits, 5 to 8")
      ->capture_default_str()
      ->check(WholeNumber("--data-bits", 5, 8))
      ->group("Port");
  app.add_option("--parity", plan.settings.parity, "none, odd, even, mark or space")
      ->transform(OneOf("--parity",
                        {{"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}}, true))
      ->type_name("NAME")
      ->default_str("none")
      ->group("Port");
  app.add_option("--stop-bits", plan.settings.stopBits, "1, 1.5 or 2")
      ->transform(OneOf("--stop-bits", {{"1", 0}, {"1.5", 1}, {"2", 2}}))
      ->type_name("N")
      ->default_str("1")
      ->group("Port");
  app.add_option("--timeout", plan.settings.replyTimeoutMs,
                 "reply time-out in milliseconds, in steps of " +
                     std::to_string(zeltools::driver_facts::kTimeoutUnitMs) +
                     " ms; the driver waits at least " + std::to_string(kDriverMinimumTimeoutMs) +
                     " ms, and a shorter one is raised to that (with a warning)")
      ->capture_default_str()
      ->check(WholeNumber("--timeout", 10, 600000))
      ->group("Port");
  std::string tagsFile;
  app.add_option("--tags", tagsFile,
                 "a tag file (TOML, as zelgw reads it): tag names stand for their variables, "
                 "and without --port the tag's line gives the port and its settings")
      ->type_name("FILE");
  app.add_option("--driver", driverPath,
                 "the driver library to load (default: libzelqd.so.1 beside this program, "
                 "as in the build tree, else the loader's search)")
      ->type_name("PATH");
  app.add_option("--format", format, "text, csv (with a header) or json (one object a line)")
      ->transform(OneOf("--format", {{"text", static_cast<int>(Format::Text)},
                                     {"csv", static_cast<int>(Format::Csv)},
                                     {"json", static_cast<int>(Format::Json)}}))
      ->type_name("FORMAT")
      ->default_str("text");
  app.add_option("--trace", traceTarget,
                 "switch the driver's frame trace on (a line for each attempt and each failed "
                 "open), appended to FILE, or to stderr with -: sets ZELQD_TRACE for the driver")
      ->type_name("FILE");
  app.add_flag("--sim-trace", simTrace, "show the embedded simulator's frame trace on stderr")
      ->group("Embedded simulator");
  zeltools::AddSimulatorOptions(app, plan.simulator, "sim-", "Embedded simulator");

  CommandArgs args;
  AddCommands(app, args);
  auto* script = app.add_subcommand(
      "script", "run commands one a line from FILE (- for stdin) on one port and one instance");
  script->add_option("FILE", scriptFile, "the script, - for stdin")->required();
  script->callback([&args] { args.name = "script"; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return Usage(zeltools::UsageSentence(e, app, "sim-"));
  }
  zeltools::ApplyFaultRules(plan.simulator);
  plan.settings.dataBits = static_cast<std::uint8_t>(dataBits);
  plan.simulatorTrace = simTrace ? stderr : nullptr;

  if (!tagsFile.empty()) {
    std::vector<zeltools::ConfigError> errors;
    zeltools::PlantReadOptions lenient;
    lenient.strict = false;  // the file may hold zelgw's keys too
    g_tags = zeltools::ReadPlantFile(tagsFile, lenient, errors);
    for (const auto& e : errors) std::fprintf(stderr, "zelpoll: %s\n", e.Text().c_str());
    if (!errors.empty()) return kExitUsage;
    const zeltools::PlantTag* tag = g_tags.FindTag(args.address);
    for (const std::string& a : args.addresses) tag = tag ? tag : g_tags.FindTag(a);
    if (const zeltools::PlantLine* line = tag ? g_tags.FindLine(tag->line) : nullptr;
        line != nullptr && portOption->count() == 0) {
      plan.settings.name = line->port;
      plan.settings.baudRate = static_cast<std::uint16_t>(line->baud);
      plan.settings.dataBits = static_cast<std::uint8_t>(line->dataBits);
      plan.settings.parity = static_cast<std::uint8_t>(line->parity);
      plan.settings.stopBits = static_cast<std::uint8_t>(line->stopBits);
      plan.settings.replyTimeoutMs = line->replyTimeoutMs;
    }
    if (const int resolved = ResolveTags(args); resolved != kExitOk) return resolved;
  }

  // Only a missing --port means the simulator: an empty one is a mistake
  // (an unset variable in a script), never a line.
  std::string& port = plan.settings.name;
  if (portOption->count() > 0 && Trim(port).empty())
    return Usage(
        "--port needs a device name such as ttyUSB0, /dev/ttyUSB0, pts/3 or COM1; "
        "leave --port out to use the embedded simulator.");
  // The driver takes names of at most 11 characters; /dev/ may be left out.
  if (port.size() > 11 && port.starts_with("/dev/")) port.erase(0, 5);
  if (port.size() > 11)
    return Usage("the port name \"" + port +
                 "\" is longer than the driver's 11 characters; make a short link to the device "
                 "(ln -s DEVICE /dev/ttyZ0) and give that.");
  if (const std::string problem = CommandRangeProblem(args); !problem.empty())
    return Usage(problem);
  std::ifstream scriptStream;
  if (args.name == "script" && scriptFile != "-") {
    scriptStream.open(scriptFile);
    if (!scriptStream)
      return Usage("cannot read the script " + scriptFile + ": " + std::strerror(errno) + ".");
  }

  // Signals are taken here, by sigtimedwait; blocked before any thread
  // starts (and before the temporary directory is made, which a signal
  // must not leave behind), so that no other thread receives them. A reader that goes away
  // shows as a failed write instead of SIGPIPE.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  (void)::signal(SIGPIPE, SIG_IGN);  // cannot fail for a valid signal number

  // The trace is the driver's own: it reads ZELQD_TRACE at its first
  // transfer or failed open.
  if (!traceTarget.empty()) {
    if (traceTarget != "-") {
      std::FILE* probe = std::fopen(traceTarget.c_str(), "a");
      if (probe == nullptr)
        return Usage("--trace names a file that cannot be written: " + traceTarget + ": " +
                     std::strerror(errno) + ".");
      (void)std::fclose(probe);
    }
    (void)::setenv("ZELQD_TRACE", traceTarget.c_str(), 1);  // only ENOMEM: the trace stays off
  }

  std::unique_ptr<zeltools::DriverLibrary> library;
  try {
    library = std::make_unique<zeltools::DriverLibrary>(driverPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelpoll: %s\n", e.what());
    return kExitSetup;
  }

  Output output(format, stdout);
  if (!zeltools::Outcomes::Instance().Attach(*library))
    output.Warn("the driver " + library->path() +
                " gives no outcome records; failed rows are shown without their reasons");

  if (!port.empty() && (simTrace || plan.simulator.faults.any() ||
                        !plan.simulator.valuesFile.empty() || plan.simulator.paceBaud != 0))
    output.Warn("--sim- options have no effect with --port: the remote computer is on the line");
  if (plan.settings.replyTimeoutMs < kDriverMinimumTimeoutMs && args.name != "info" &&
      args.name != "check")
    output.Warn("--timeout " + std::to_string(plan.settings.replyTimeoutMs) +
                " is below the driver's shortest reply time-out, so it waits " +
                std::to_string(kDriverMinimumTimeoutMs) + " ms");
  if (args.name == "stop")
    output.Warn(
        "stop holds only for this run: STOP lasts as long as the driver instance, which "
        "ends when zelpoll exits; to keep traffic suspended for other commands, put them "
        "after stop in a script (zelpoll script FILE)");
  if (args.name == "resume")
    output.Warn(
        "resume on its own changes nothing: every run starts with traffic running, since "
        "STOP lasts only as long as the driver instance; to resume after stop, put both "
        "in one script (zelpoll script FILE)");
  DravunSetMessageHandler(OnDriverMessage, &output);

  zeltools::HostSession host(library->entry());
  Session session(host, output, library->path(), plan);
  std::atomic<bool> interrupted{false};
  std::atomic<bool> done{false};
  int status = kExitOk;
  std::thread worker([&] {
    if (args.name == "script") {
      status = RunScript(scriptFile == "-" ? std::cin : scriptStream, session, output, interrupted);
    } else {
      status = session.Run(args, interrupted);
    }
    session.Finish();
    done = true;
  });

  using Clock = std::chrono::steady_clock;
  const auto grace =
      std::chrono::milliseconds(std::max(plan.settings.replyTimeoutMs, kDriverMinimumTimeoutMs));
  Clock::time_point giveUpAt = Clock::time_point::max();
  std::string ending;
  while (!done) {
    const timespec tick{0, 50L * 1000 * 1000};
    const int signal = ::sigtimedwait(&signals, nullptr, &tick);
    if (signal > 0 && !interrupted) {
      ending = signal == SIGINT    ? "interrupted"
               : signal == SIGTERM ? "ended by SIGTERM"
                                   : "ended by SIGHUP";
      session.Ending(ending);
      interrupted = true;
      giveUpAt = Clock::now() + grace;
      continue;
    }
    const bool again = signal > 0;
    if ((again || Clock::now() >= giveUpAt) && !done) {
      // The driver has not come back: give the run up where it stands.
      const int code = session.Abandon(again ? ending + " twice" : ending);
      DravunSetMessageHandler(nullptr, nullptr);
      (void)std::fflush(nullptr);  // leaving at once: nothing left to report a failure to
      ::_exit(code);
    }
  }
  worker.join();
  DravunSetMessageHandler(nullptr, nullptr);
  zeltools::Outcomes::Instance().Detach();  // before the library goes
  return status;
}
