#include "session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

#include "exit_codes.h"

namespace zelpoll {
namespace {

using Clock = std::chrono::steady_clock;

// The graver of two driver results: failed, then refused, then ok.
std::int32_t GraverResult(std::int32_t a, std::int32_t b) {
  const auto rank = [](std::int32_t r) { return r == ResultOk ? 0 : r == ResultRefused ? 1 : 2; };
  return rank(a) >= rank(b) ? a : b;
}

std::string NumericAddress(std::int32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "$%05d", static_cast<int>(number));
  return text;
}

}  // namespace

std::string AddressText(const std::string& argument) {
  const bool digits = !argument.empty() && argument.size() <= 5 &&
                      std::all_of(argument.begin(), argument.end(),
                                  [](unsigned char c) { return std::isdigit(c) != 0; });
  if (digits) return NumericAddress(std::stoi(argument));
  std::string upper = argument;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "STOP") return "$STOP";
  return argument;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

Session::Session(Host& host, Output& output, const std::string& libraryPath, PortPlan plan)
    : host_(host), output_(output), libraryPath_(libraryPath), plan_(std::move(plan)) {}

Session::~Session() { Finish(); }

void Session::Finish() {
  if (portOpen_) {
    host_.Close();
    portOpen_ = false;
  }
  if (simulator_) {
    const std::string counters = simulator_->Finish();
    if (plan_.simulatorTrace != nullptr) std::fputs(counters.c_str(), plan_.simulatorTrace);
    simulator_.reset();
  }
}

int Session::OpenPort() {
  if (portResult_ >= 0) return portResult_;
  PortSettings settings = plan_.settings;
  if (settings.name.empty()) {
    try {
      simulator_ = std::make_unique<EmbeddedSimulator>(plan_.simulator, plan_.simulatorTrace);
    } catch (const std::exception& e) {
      output_.Remark(std::string("cannot start the embedded simulator: ") + e.what());
      return portResult_ = kExitSetup;
    }
    settings.name = simulator_->portName();
    output_.Remark("no --port given: embedded simulator on " + simulator_->deviceName() +
                   " (port " + settings.name + ")");
  }
  const std::int32_t result = host_.Open(settings);
  if (result != ResultOk) {
    output_.Transfer("open", {{settings.name, {}}}, result, std::nullopt,
                     "OpenPort could not open the port");
    return portResult_ = ExitFor(result);
  }
  portOpen_ = true;
  return portResult_ = kExitOk;
}

std::string Session::Why(std::int32_t result) {
  if (result == ResultRefused)
    return host_.TrafficStopped() ? "traffic is suspended ($STOP = 1)" : "refused by the driver";
  if (result == ResultFailed) return "no valid reply in five attempts";
  return {};
}

int Session::Run(const CommandArgs& a, const std::atomic<bool>& interrupted) {
  if (a.name == "info") return Info();
  if (a.name == "check") return Check(a.address);
  if (const int open = OpenPort(); open != kExitOk) return open;
  if (a.name == "read") return Read(a.address);
  if (a.name == "block") return Block(a.address, a.count);
  if (a.name == "write") return Write(a.address, a.value);
  if (a.name == "stop") return Gate(true);
  if (a.name == "resume") return Gate(false);
  if (a.name == "poll") return Poll(a.addresses, a.intervalMs, a.polls, interrupted);
  return kExitUsage;
}

int Session::Info() {
  const DriverDescription d = host_.Describe();
  output_.Info(d, libraryPath_);
  return ExitFor(d.result);
}

int Session::Check(const std::string& argument) {
  // The text goes to the driver exactly as given: checking it is the point.
  const ParsedAddress transfer = host_.Parse(argument, kAccessKindTransfer);
  const ParsedAddress other = host_.Parse(argument, 0);
  const ParsedAddress check = host_.Check(argument, 0);
  output_.Check(argument, transfer, other, check);
  return ExitFor(transfer.result);
}

int Session::Read(const std::string& argument) {
  const ParsedAddress address = host_.Parse(AddressText(argument), kAccessKindTransfer);
  if (address.result != ResultOk) {
    output_.Transfer("read", {{address.text, {}}}, address.result, std::nullopt,
                     "the driver refused the address");
    return ExitFor(address.result);
  }
  const Transfer t = host_.ReadVar(address);
  std::optional<std::uint32_t> value;
  if (t.result == ResultOk) value = t.values.at(0);
  std::string note = Why(t.result);
  if (address.isStop() && value) note = *value & 1 ? "traffic suspended" : "traffic running";
  output_.Transfer("read", {{address.text, value}}, t.result, t.milliseconds, note);
  return ExitFor(t.result);
}

int Session::Block(const std::string& argument, std::int32_t count) {
  const ParsedAddress address = host_.Parse(AddressText(argument), kAccessKindTransfer);
  if (address.result != ResultOk || address.isStop()) {
    output_.Transfer("block", {{address.text, {}}}, ResultRefused, std::nullopt,
                     address.isStop() ? "a block starts at a numeric variable"
                                      : "the driver refused the address");
    return kExitRefused;
  }
  const Transfer t = host_.ReadBlock(address, count);
  std::vector<Item> items;
  for (std::int32_t i = 0; i < count; ++i) {
    Item item{NumericAddress(address.block.variableNumber + i), std::nullopt};
    if (t.result == ResultOk) item.value = t.values.at(static_cast<std::size_t>(i));
    items.push_back(item);
  }
  output_.Transfer("block", items, t.result, t.milliseconds, Why(t.result));
  return ExitFor(t.result);
}

int Session::Write(const std::string& argument, std::uint32_t value) {
  const ParsedAddress address = host_.Parse(AddressText(argument), kAccessKindTransfer);
  if (address.result != ResultOk) {
    output_.Transfer("write", {{address.text, value}}, address.result, std::nullopt,
                     "the driver refused the address");
    return ExitFor(address.result);
  }
  const Transfer t = host_.WriteVar(address, value);
  std::string note = Why(t.result);
  if (address.isStop() && t.result == ResultOk)
    note = value & 1 ? "traffic suspended" : "traffic running";
  output_.Transfer("write", {{address.text, value}}, t.result, t.milliseconds, note);
  return ExitFor(t.result);
}

int Session::Gate(bool stop) {
  const ParsedAddress address = host_.Parse("$STOP", kAccessKindTransfer);
  const Transfer t = host_.WriteVar(address, stop ? 1 : 0);
  output_.Transfer(stop ? "stop" : "resume", {{address.text, stop ? 1u : 0u}}, t.result,
                   t.milliseconds, stop ? "traffic suspended" : "traffic resumed");
  return ExitFor(t.result);
}

int Session::Poll(const std::vector<std::string>& arguments, int intervalMs, std::uint64_t polls,
                  const std::atomic<bool>& interrupted) {
  std::vector<ParsedAddress> addresses;
  for (const auto& argument : arguments) {
    ParsedAddress a = host_.Parse(AddressText(argument), kAccessKindTransfer);
    if (a.result != ResultOk) {
      output_.Transfer("poll", {{a.text, {}}}, a.result, std::nullopt,
                       "the driver refused the address");
      return ExitFor(a.result);
    }
    addresses.push_back(std::move(a));
  }

  PollSummary summary;
  std::vector<double> latencies;
  auto next = Clock::now();
  for (std::uint64_t number = 1; (polls == 0 || number <= polls) && !interrupted; ++number) {
    const auto at = std::chrono::system_clock::now();
    std::vector<Item> items;
    std::int32_t result = ResultOk;
    double ms = 0;
    for (const auto& a : addresses) {
      const Transfer t = host_.ReadVar(a);
      ms += t.milliseconds;
      result = GraverResult(result, t.result);
      items.push_back(
          {a.text, t.result == ResultOk ? std::optional(t.values.at(0)) : std::nullopt});
    }
    output_.Poll(at, number, items, result, ms);
    ++summary.polls;
    ++(result == ResultOk        ? summary.ok
       : result == ResultRefused ? summary.refused
                                 : summary.failed);
    summary.worst = GraverResult(summary.worst, result);
    latencies.push_back(ms);

    // Polls start at a fixed rate; one that ran late is followed at once.
    next += std::chrono::milliseconds(intervalMs);
    if (polls != 0 && number == polls) break;
    while (!interrupted && Clock::now() < next)
      std::this_thread::sleep_for(
          std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(20)));
    if (Clock::now() > next + std::chrono::milliseconds(intervalMs)) next = Clock::now();
  }
  if (!latencies.empty()) {
    summary.minMs = *std::min_element(latencies.begin(), latencies.end());
    summary.maxMs = *std::max_element(latencies.begin(), latencies.end());
    summary.medianMs = Median(latencies);
  }
  output_.Summary(summary);
  return ExitFor(summary.worst);
}

}  // namespace zelpoll
