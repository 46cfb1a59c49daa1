// zelsim: the remote computer on the other end of the line, for trying a
// host and the driver without it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "serial_device.h"
#include "simulator_options.h"
#include "usage.h"
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
  std::tm local{};
  char buffer[32];
  if (::localtime_r(&now, &local) == nullptr ||
      std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local) == 0)
    return "?";
  return buffer;
}

// Makes the symbolic link to the pseudo-terminal. A path that exists is
// left alone, unless force is given and it is a symbolic link (a link that
// an earlier zelsim or a bridge left behind): that one is replaced.
// Returns an error sentence, or "".
std::string MakeLink(const std::string& link, const std::string& target, bool force) {
  struct stat old {};
  if (::lstat(link.c_str(), &old) == 0) {
    if (!S_ISLNK(old.st_mode))
      return "--link " + link + " exists and is not a symbolic link; choose another path";
    char points[PATH_MAX] = {};
    const ssize_t n = ::readlink(link.c_str(), points, sizeof points - 1);
    const std::string to = n > 0 ? std::string(points, static_cast<std::size_t>(n)) : "?";
    if (!force)
      return "--link " + link + " exists already (a link to " + to +
             ", perhaps another zelsim's or a bridge's); give --force to replace it, or choose "
             "another path";
    // Replaced in one step: the path never stops naming a device.
    const std::string temporary = link + ".zelsim-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
      const std::string reason = std::strerror(errno);
      ::unlink(temporary.c_str());
      return "--link " + link + ": " + reason;
    }
    return {};
  }
  if (::symlink(target.c_str(), link.c_str()) != 0)
    return "--link " + link + ": " + std::strerror(errno);
  return {};
}

// Removes the link if it still leads to this simulator's device: another
// zelsim may have taken the path over meanwhile.
void RemoveLink(const std::string& link, const std::string& target) {
  char points[PATH_MAX] = {};
  const ssize_t n = ::readlink(link.c_str(), points, sizeof points - 1);
  if (n > 0 && std::string(points, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

// Waits for SIGINT, SIGTERM or SIGHUP, or for the runner to end on its own.
void WaitForEnd(const sigset_t& signals, zelsim::Runner& runner) {
  const timespec tick{0, 200L * 1000 * 1000};
  while (runner.error().empty()) {
    if (::sigtimedwait(&signals, nullptr, &tick) > 0) return;
  }
}

}  // namespace

// NOLINTNEXTLINE(bugprone-exception-escape): only the fixed option set-up or lack of memory.
int main(int argc, char** argv) {
  (void)std::setvbuf(stdout, nullptr, _IOLBF, 0);  // if refused, stdout keeps its default
  CLI::App app(kDescription, "zelsim");
  app.set_version_flag("--version", "zelsim " ZELQD_VERSION);
  zeltools::SimulatorOptions sim;
  std::string device, link, traceFile = "-";
  bool save = false, quiet = false, force = false;
  zelsim_tool::LineSettings line;

  app.add_option("--device", device, "serve this serial device instead of a pseudo-terminal")
      ->type_name("PATH")
      ->group("Line");
  app.add_option("--baud", line.baud, "baud rate of --device, a standard rate")
      ->capture_default_str()
      ->check(zeltools::Sentence([](const std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() < 9 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        if (digits && zelsim_tool::IsStandardBaud(std::stoi(text))) return {};
        return "--baud takes a standard rate (" + zelsim_tool::StandardBauds() + "), not \"" +
               text + "\".";
      }))
      ->group("Line");
  app.add_option("--data-bits", line.dataBits, "data bits of --device and of --pace")
      ->capture_default_str()
      ->check(zeltools::WholeNumber("--data-bits", 5, 8))
      ->group("Line");
  using zelsim_tool::Parity;
  app.add_option("--parity", line.parity,
                 "parity of --device and of --pace: none, odd, even, mark, space")
      ->transform(zeltools::OneOf("--parity",
                                  {{"none", static_cast<int>(Parity::None)},
                                   {"odd", static_cast<int>(Parity::Odd)},
                                   {"even", static_cast<int>(Parity::Even)},
                                   {"mark", static_cast<int>(Parity::Mark)},
                                   {"space", static_cast<int>(Parity::Space)}},
                                  true))
      ->type_name("NAME")
      ->default_str("none")
      ->group("Line");
  app.add_option("--stop-bits", line.stopBits, "stop bits of --device and of --pace: 1 or 2")
      ->capture_default_str()
      ->transform(zeltools::OneOf("--stop-bits", {{"1", 1}, {"2", 2}}))
      ->group("Line");
  app.add_option("--link", link,
                 "make a symbolic link with this name to the pseudo-terminal; a path that "
                 "exists is refused unless --force; removed at exit if it still leads here")
      ->type_name("PATH")
      ->excludes("--device")
      ->group("Line");
  app.add_flag("--force", force, "let --link replace a symbolic link that exists")
      ->needs("--link")
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
    std::fprintf(stderr, "zelsim: %s\n", zeltools::UsageSentence(e, app).c_str());
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

  std::string linked;  // the device the link leads to, once made
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
        if (const std::string problem = MakeLink(link, pty->slaveName(), force); !problem.empty()) {
          std::fprintf(stderr, "zelsim: %s.\n", problem.c_str());
          return kExitFailed;
        }
        linked = pty->slaveName();
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
    const int bits =
        zelsim::CharacterBits(line.dataBits, line.parity != Parity::None, line.stopBits);
    zelsim::Runner runner(engine, fd,
                          {.paceBaud = sim.paceBaud,
                           .bitsPerCharacter = bits,
                           .turnaroundMs = sim.turnaroundMs,
                           .trace = &trace});
    runner.Start();
    WaitForEnd(signals, runner);
    runner.Stop();

    if (!linked.empty()) RemoveLink(link, linked);
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
    if (traceOut != nullptr && traceOut != stdout) (void)std::fclose(traceOut);  // at the end
    return status;
  } catch (const std::exception& e) {
    if (!linked.empty()) RemoveLink(link, linked);
    std::fprintf(stderr, "zelsim: %s\n", e.what());
    return kExitFailed;
  }
}
