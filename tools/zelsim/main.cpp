// zelsim: the remote computer on the other end of the line, for trying a
// host and the driver without it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "serial_device.h"
#include "simulator_options.h"
#include "zelqd_version.h"
#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"
#include "zelsim/trace.h"
#include "zelsim/values_file.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;

constexpr const char kDescription[] =
    "zelsim: the remote computer at the far end of the RS232 line.\n"
    "\n"
    "It answers the driver's requests from a table of 100000 variables (0 to 99999, all 0 "
    "unless --values sets them): a write request is stored and answered OK, a read request is "
    "answered with the values (at most 106 of them, ending at variable 99999 at the latest). "
    "A request that fails its checks (lead byte, command letter, digits, checksum, end byte, "
    "count) gets the ERROR reply if it is a write and no reply if it is a read. Bytes that "
    "start no request are skipped up to the next lead byte.\n"
    "\n"
    "Without --device it serves a new pseudo-terminal and prints the device to give the "
    "driver. The trace shows every frame; the counters follow at exit (Ctrl-C, SIGTERM).";

std::string TimeOfDay() {
  const std::time_t now = std::time(nullptr);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  return buffer;
}

// Waits for SIGINT, SIGTERM or SIGHUP, or for the runner to end on its own.
void WaitForEnd(const sigset_t& signals, zelsim::Runner& runner) {
  const timespec tick{0, 200 * 1000 * 1000};
  while (runner.error().empty()) {
    if (::sigtimedwait(&signals, nullptr, &tick) > 0) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  CLI::App app(kDescription, "zelsim");
  app.set_version_flag("--version", "zelsim " ZELQD_VERSION);
  zeltools::SimulatorOptions sim;
  std::string device, link, traceFile = "-";
  bool save = false, quiet = false;
  zelsim_tool::LineSettings line;

  app.add_option("--device", device, "serve this serial device instead of a pseudo-terminal")
      ->type_name("PATH")
      ->group("Line");
  app.add_option("--baud", line.baud, "baud rate of --device")
      ->capture_default_str()
      ->group("Line");
  app.add_option("--data-bits", line.dataBits, "data bits of --device")
      ->capture_default_str()
      ->check(CLI::Range(5, 8))
      ->group("Line");
  const std::map<std::string, zelsim_tool::Parity> parities{{"none", zelsim_tool::Parity::None},
                                                            {"odd", zelsim_tool::Parity::Odd},
                                                            {"even", zelsim_tool::Parity::Even},
                                                            {"mark", zelsim_tool::Parity::Mark},
                                                            {"space", zelsim_tool::Parity::Space}};
  app.add_option("--parity", line.parity, "parity of --device: none, odd, even, mark, space")
      ->transform(CLI::CheckedTransformer(parities, CLI::ignore_case).description(""))
      ->type_name("NAME")
      ->default_str("none")
      ->group("Line");
  app.add_option("--stop-bits", line.stopBits, "stop bits of --device: 1 or 2")
      ->capture_default_str()
      ->check(CLI::IsMember({1, 2}))
      ->group("Line");
  app.add_option("--link", link,
                 "make a symbolic link with this name to the pseudo-terminal (removed at exit)")
      ->type_name("PATH")
      ->excludes("--device")
      ->group("Line");

  zeltools::AddSimulatorOptions(app, sim, "", "Simulator");
  app.add_flag("--save", save, "write the values back to the --values file at exit")
      ->needs("--values")
      ->group("Simulator");
  app.add_option("--trace", traceFile, "where the frame trace goes: a file, or - for stdout")
      ->capture_default_str()
      ->type_name("FILE")
      ->group("Output");
  app.add_flag("--quiet", quiet, "no frame trace")->group("Output");
  app.footer(zeltools::FaultHelp(""));

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
  zeltools::ApplyFaultRules(sim);

  // Signals are taken by sigtimedwait in this thread; blocked before any
  // thread starts, so that the runner's thread never receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::FILE* traceOut = nullptr;
  if (!quiet) {
    traceOut = traceFile == "-" ? stdout : std::fopen(traceFile.c_str(), "a");
    if (traceOut == nullptr) {
      std::fprintf(stderr, "zelsim: %s: %s\n", traceFile.c_str(), std::strerror(errno));
      return kExitFailed;
    }
  }

  try {
    zelsim::Engine engine(sim.faults);
    if (!sim.valuesFile.empty()) zelsim::LoadValues(sim.valuesFile, engine.table());

    std::unique_ptr<zelsim::PtyPair> pty;
    std::unique_ptr<zelsim_tool::SerialDevice> serial;
    int fd = -1;
    if (device.empty()) {
      pty = std::make_unique<zelsim::PtyPair>();
      fd = pty->master();
      if (!link.empty()) {
        // An old link is replaced; anything else in the way is left alone.
        struct stat old {};
        if (::lstat(link.c_str(), &old) == 0 && S_ISLNK(old.st_mode)) ::unlink(link.c_str());
        if (::symlink(pty->slaveName().c_str(), link.c_str()) != 0) {
          std::fprintf(stderr, "zelsim: link %s: %s\n", link.c_str(), std::strerror(errno));
          return kExitFailed;
        }
        std::printf("zelsim: %s -> %s\n", link.c_str(), pty->slaveName().c_str());
      }
      std::printf("zelsim: serving %s (port name for the driver: %s)\n", pty->slaveName().c_str(),
                  pty->shortName().c_str());
    } else {
      serial = std::make_unique<zelsim_tool::SerialDevice>(device, line);
      fd = serial->fd();
      std::printf("zelsim: serving %s at %d baud\n", device.c_str(), line.baud);
    }
    std::printf("zelsim: %s; started %s\n", zeltools::DescribeFaults(sim.faults).c_str(),
                TimeOfDay().c_str());

    zelsim::Trace trace(traceOut);
    zelsim::Runner runner(engine, fd, {.paceBaud = sim.paceBaud, .trace = &trace});
    runner.Start();
    WaitForEnd(signals, runner);
    runner.Stop();

    if (!link.empty()) ::unlink(link.c_str());
    std::printf("%s", zelsim::FormatCounters(engine.counters()).c_str());
    int status = kExitOk;
    if (const std::string error = runner.error(); !error.empty()) {
      std::fprintf(stderr, "zelsim: %s\n", error.c_str());
      status = kExitFailed;
    }
    if (save) {
      zelsim::SaveValues(sim.valuesFile, engine.table());
      std::printf("zelsim: values saved to %s\n", sim.valuesFile.c_str());
    }
    if (traceOut != nullptr && traceOut != stdout) std::fclose(traceOut);
    return status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelsim: %s\n", e.what());
    return kExitFailed;
  }
}
