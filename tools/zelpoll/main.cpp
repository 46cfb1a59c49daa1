// zelpoll: the driver's host on the command line, for checking a line by
// hand and from scripts.
#include <signal.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "dravun.h"
#include "driver_library.h"
#include "exit_codes.h"
#include "host.h"
#include "output.h"
#include "session.h"
#include "simulator_options.h"
#include "zelqd_version.h"
#include "zelsim/numbers.h"

namespace {

using namespace zelpoll;

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted = true; }

constexpr const char kDescription[] =
    "zelpoll: reads and writes the remote computer's variables through the zelqd driver, as a "
    "host application does: it loads the driver library and calls ZelMain.\n"
    "\n"
    "Without --port it starts the simulator of the remote computer inside itself, on a new "
    "pseudo-terminal, so that every command can be tried without hardware.\n"
    "\n"
    "ADDRESS is \"$\" and five digits (\"$00042\"), or a bare number of up to five digits "
    "(42 means $00042), or $STOP (STOP). VALUE is decimal (signed or unsigned 32-bit) or 0x "
    "hex. Values are shown as signed decimal and hex.";

constexpr const char kExitCodes[] =
    "Exit codes: 0 ok; 1 refused by the driver (address not accepted, traffic suspended by "
    "$STOP); 2 failed (port not opened, no valid reply in five attempts); 3 driver library not "
    "loadable or simulator not started; 64 usage error. A script or a poll exits with the "
    "gravest code of its commands (usage, 3, 2, 1, 0).";

std::string ValueCheck(const std::string& text) {
  return zelsim::ParseValue(text) ? std::string() : "not a 32-bit value: " + text;
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
      ->check(CLI::Range(0, ZELQD_MAX_BLOCK));
  auto* write = named(app.add_subcommand("write", "write one variable"));
  write->add_option("ADDRESS", args.address, "$nnnnn, a number, or $STOP")->required();
  write
      ->add_option_function<std::string>(
          "VALUE", [&args](const std::string& v) { args.value = *zelsim::ParseValue(v); },
          "decimal or 0x hex, 32 bits")
      ->required()
      ->check(CLI::Validator(ValueCheck, "", "value"));
  named(app.add_subcommand("stop", "suspend all traffic (write 1 to $STOP)"));
  named(app.add_subcommand("resume", "resume traffic (write 0 to $STOP)"));
  auto* check = named(app.add_subcommand(
      "check", "what ParseAddress and CheckAddress make of an address text (given as it is)"));
  check->add_option("ADDRESS", args.address, "the text, passed unchanged")->required();
  auto* poll = named(app.add_subcommand(
      "poll", "read the variables again and again, one line a poll, a summary at the end"));
  poll->add_option("ADDRESS", args.addresses, "one or more variables")->required();
  poll->add_option("--interval", args.intervalMs, "milliseconds from one poll to the next")
      ->capture_default_str()
      ->check(CLI::Range(0, 86400000));
  poll->add_option("--count", args.polls, "number of polls (0: until Ctrl-C)")
      ->capture_default_str();
}

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// Runs the commands of a script, one a line ("#" starts a comment).
int RunScript(std::istream& in, Session& session, Output& output) {
  int status = kExitOk;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const auto hash = line.find('#'); hash != std::string::npos && line.find('$') > hash)
      line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    CLI::App app("", "zelpoll");
    app.require_subcommand(1);
    CommandArgs args;
    AddCommands(app, args);
    try {
      app.parse(line, false);
    } catch (const CLI::ParseError& e) {
      std::fprintf(stderr, "zelpoll: script line %d: %s: %s\n", number, line.c_str(), e.what());
      status = Graver(status, kExitUsage);
      continue;
    }
    output.Command(line);
    status = Graver(status, session.Run(args, g_interrupted));
  }
  return status;
}

void OnDriverMessage(int code, const char* message, void* context) {
  static_cast<Output*>(context)->Message(code, message);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  CLI::App app(kDescription, "zelpoll");
  app.set_version_flag("--version", "zelpoll " ZELQD_VERSION);
  app.footer(std::string(kExitCodes) + "\n\n" + zeltools::FaultHelp("sim-"));
  app.require_subcommand(1);
  app.fallthrough();  // port and simulator options may follow the command too

  PortPlan plan;
  std::string driverPath, scriptFile;
  int timeoutMs = 1200;
  int dataBits = 8;
  Format format = Format::Text;
  bool simTrace = false;

  app.add_option("-p,--port", plan.settings.name,
                 "serial device: ttyUSB0, /dev/ttyUSB0, pts/3, COM1 (/dev/ttyS0); at most 11 "
                 "characters after /dev/. Without it: the embedded simulator")
      ->type_name("DEVICE")
      ->group("Port");
  app.add_option("--baud", plan.settings.baudRate, "baud rate")
      ->capture_default_str()
      ->check(CLI::Range(1, 65535))
      ->group("Port");
  app.add_option("--data-bits", dataBits, "data bits")
      ->capture_default_str()
      ->check(CLI::Range(5, 8))
      ->group("Port");
  const std::map<std::string, std::uint8_t> parities{
      {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
  app.add_option("--parity", plan.settings.parity, "none, odd, even, mark or space")
      ->transform(CLI::CheckedTransformer(parities, CLI::ignore_case).description(""))
      ->type_name("NAME")
      ->default_str("none")
      ->group("Port");
  const std::map<std::string, std::uint8_t> stopBits{{"1", 0}, {"1.5", 1}, {"2", 2}};
  app.add_option("--stop-bits", plan.settings.stopBits, "1, 1.5 or 2")
      ->transform(CLI::CheckedTransformer(stopBits).description(""))
      ->type_name("N")
      ->default_str("1")
      ->group("Port");
  app.add_option("--timeout", timeoutMs,
                 "reply time-out in milliseconds, in steps of 10 ms; the driver waits at least "
                 "1200 ms")
      ->capture_default_str()
      ->check(CLI::Range(10, 600000))
      ->group("Port");
  app.add_option("--driver", driverPath,
                 "the driver library to load (default: libzelqd.so.1 beside this program, "
                 "as in the build tree, else the loader's search)")
      ->type_name("PATH");
  const std::map<std::string, Format> formats{
      {"text", Format::Text}, {"csv", Format::Csv}, {"json", Format::Json}};
  app.add_option("--format", format, "text, csv (with a header) or json (one object a line)")
      ->transform(CLI::CheckedTransformer(formats).description(""))
      ->type_name("FORMAT")
      ->default_str("text");
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
    app.exit(e);
    return kExitUsage;
  }
  zeltools::ApplyFaultRules(plan.simulator);
  plan.settings.replyTimeout = (timeoutMs + 9) / 10;
  plan.settings.dataBits = static_cast<std::uint8_t>(dataBits);
  plan.simulatorTrace = simTrace ? stderr : nullptr;

  // The driver takes names of at most 11 characters; /dev/ may be left out.
  std::string& port = plan.settings.name;
  if (port.size() > 11 && port.starts_with("/dev/")) port.erase(0, 5);
  if (port.size() > 11) {
    std::fprintf(stderr,
                 "zelpoll: port name \"%s\" is longer than 11 characters; make a short symbolic "
                 "link to the device (ln -s DEVICE /dev/ttyZ0) and give that\n",
                 port.c_str());
    return kExitUsage;
  }

  std::unique_ptr<DriverLibrary> library;
  try {
    library = std::make_unique<DriverLibrary>(driverPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelpoll: %s\n", e.what());
    return kExitSetup;
  }

  Output output(format, stdout);
  if (!port.empty() && (simTrace || plan.simulator.faults.any() ||
                        !plan.simulator.valuesFile.empty() || plan.simulator.paceBaud != 0))
    output.Remark("--sim- options have no effect with --port: the remote computer is on the line");
  DravunSetMessageHandler(OnDriverMessage, &output);
  struct sigaction interrupt {};
  interrupt.sa_handler = OnInterrupt;
  sigaction(SIGINT, &interrupt, nullptr);
  sigaction(SIGTERM, &interrupt, nullptr);

  int status = kExitOk;
  {
    Host host(library->entry());
    Session session(host, output, library->path(), plan);
    if (args.name == "script") {
      if (scriptFile == "-") {
        status = RunScript(std::cin, session, output);
      } else {
        std::ifstream in(scriptFile);
        if (!in) {
          std::fprintf(stderr, "zelpoll: cannot read %s\n", scriptFile.c_str());
          return kExitUsage;
        }
        status = RunScript(in, session, output);
      }
    } else {
      status = session.Run(args, g_interrupted);
    }
    session.Finish();
  }
  DravunSetMessageHandler(nullptr, nullptr);
  return status;
}
