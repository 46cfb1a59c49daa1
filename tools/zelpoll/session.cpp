#include "session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "driver_facts.h"
#include "exit_codes.h"
#include "zelsim/numbers.h"

namespace zelpoll {
namespace {

using Clock = std::chrono::steady_clock;
using zeltools::Outcome;

// How a line is found gone when the driver's records say so.
constexpr const char kHungUp[] = "the line hung up";

// A driver call that went to the line, and how long it took.
struct Timed {
  std::int32_t result = ResultFailed;
  double milliseconds = 0;
};

template <typename F>
Timed Time(F&& call) {
  const auto start = Clock::now();
  Timed t;
  t.result = call();
  t.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return t;
}

std::vector<Outcome> AttemptsIn(const std::vector<Outcome>& records) {
  std::vector<Outcome> attempts;
  for (const Outcome& o : records) {
    if (o.kind == ZELQD_OUTCOME_ATTEMPT) attempts.push_back(o);
  }
  return attempts;
}

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

const zeltools::PlantTag* TagOf(const CommandArgs& args, std::size_t i) {
  return i < args.tags.size() ? args.tags[i] : nullptr;
}

std::string Seconds(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s",
                std::max(0.0, std::chrono::duration<double>(d).count()));
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

std::string AddressRangeProblem(const std::string& argument) {
  std::string_view digits = argument;
  if (digits.starts_with('$')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(),
                                     [](unsigned char c) { return std::isdigit(c) != 0; }))
    return {};
  const auto first = digits.find_first_not_of('0');
  const std::string_view number = first == std::string_view::npos ? "0" : digits.substr(first);
  if (number.size() <= 5) return {};  // 0..99999; the driver judges the spelling
  return "variable " + std::string(number) + " (from \"" + argument +
         "\") is outside the variables 0 to 99999 that a request can name.";
}

std::string CommandRangeProblem(const CommandArgs& args) {
  if (args.name == "read" || args.name == "write" || args.name == "block") {
    if (std::string problem = AddressRangeProblem(args.address); !problem.empty()) return problem;
  }
  if (args.name == "block") return BlockRangeProblem(args.address, args.count);
  if (args.name == "poll") {
    for (const std::string& address : args.addresses) {
      if (std::string problem = AddressRangeProblem(address); !problem.empty()) return problem;
    }
  }
  return {};
}

std::string BlockRangeProblem(const std::string& argument, std::int32_t count) {
  const std::string text = AddressText(argument);
  // Only a plain "$nnnnn" is judged here; anything else is the driver's.
  if (text.size() != 6 || text[0] != '$') return {};
  const auto first = zelsim::ParseVariableNumber(text);
  if (!first || count < 1 || *first + count - 1 <= 99999) return {};
  return "block " + argument + " " + std::to_string(count) +
         " runs past variable 99999, the last there is: from " + text + " at most " +
         std::to_string(100000 - *first) + " values can be read.";
}

std::string FailureNote(const std::vector<Outcome>& records) {
  const std::vector<Outcome> attempts = AttemptsIn(records);
  if (attempts.empty()) return {};
  const Outcome& last = attempts.back();
  const std::string reason = zeltools::ReasonText(last);
  bool same = true;
  for (const Outcome& a : attempts) same = same && !a.ok() && zeltools::ReasonText(a) == reason;
  if (same && attempts.size() > 1)
    return reason + ", all " + std::to_string(attempts.size()) + " attempts";
  return reason + " (attempt " + std::to_string(last.attempt) + "/" +
         std::to_string(last.attempts) + ")";
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void SetLatencies(PollSummary& summary, const std::vector<double>& latencies) {
  if (latencies.empty()) return;
  summary.minMs = *std::min_element(latencies.begin(), latencies.end());
  summary.maxMs = *std::max_element(latencies.begin(), latencies.end());
  summary.medianMs = Median(latencies);
}

Session::Session(zeltools::HostSession& host, Output& output, const std::string& libraryPath,
                 PortPlan plan)
    : host_(host),
      output_(output),
      libraryPath_(libraryPath),
      plan_(std::move(plan)),
      observed_(zeltools::Outcomes::Instance().attached()) {
  zeltools::Outcomes::Instance().Subscribe(host_.instance(), [this](const Outcome& o) {
    std::lock_guard lock(recordsMutex_);
    records_.push_back(o);
  });
}

Session::~Session() {
  Finish();
  zeltools::Outcomes::Instance().Unsubscribe(host_.instance());
}

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

template <typename F>
auto Session::InDriver(const std::string& what, F&& call) {
  {
    std::lock_guard lock(progressMutex_);
    inDriver_ = what;
  }
  auto result = call();
  std::lock_guard lock(progressMutex_);
  inDriver_.clear();
  return result;
}

std::vector<Outcome> Session::Records() {
  std::lock_guard lock(recordsMutex_);
  return std::exchange(records_, {});
}

std::string Session::Why(std::int32_t result, std::vector<Outcome>* out) {
  std::vector<Outcome> records = Records();
  std::string note;
  if (result == ResultRefused) {
    bool stopped = false;
    note = host_.ReadStop(&stopped) == ResultOk && stopped ? "traffic is suspended ($STOP = 1)"
                                                           : "refused by the driver";
  }
  if (result == ResultFailed) {
    note = FailureNote(records);
    if (note.empty())
      note = "no valid reply in " + std::to_string(zeltools::driver_facts::kAttempts) + " attempts";
  }
  if (out != nullptr) *out = std::move(records);
  return note;
}

std::string Session::OpenFailure(const std::string& name) {
  const std::vector<Outcome> records = Records();
  const Outcome* failure = nullptr;
  for (const Outcome& o : records) {
    if (o.kind == ZELQD_OUTCOME_OPEN) failure = &o;
  }
  return OpenFailureReason(name, failure);
}

int Session::OpenPort() {
  if (portResult_ >= 0) return portResult_;
  zeltools::PortSettings settings = plan_.settings;
  if (settings.name.empty()) {
    try {
      const auto bits = static_cast<int>(zeltools::driver_facts::CharacterBits(
          settings.dataBits, settings.parity, settings.stopBits));
      simulator_ = std::make_unique<EmbeddedSimulator>(plan_.simulator, bits, plan_.simulatorTrace);
    } catch (const std::exception& e) {
      output_.Warn(std::string("cannot start the embedded simulator: ") + e.what());
      return portResult_ = kExitSetup;
    }
    settings.name = simulator_->portName();
    output_.Remark("no --port given: embedded simulator on " + simulator_->deviceName() +
                   " (port " + settings.name + "); its values are not a remote computer's");
  }
  output_.SetPort(settings.name, simulator_ != nullptr);
  opened_ = settings;
  const std::int32_t result = InDriver("OpenPort", [&] { return host_.Open(settings); });
  if (result != ResultOk) {
    output_.PortEvent("open", result, OpenFailure(settings.name));
    return portResult_ = ExitFor(result);
  }
  Records();  // nothing of the open is wanted in the first transfer's note
  {
    std::lock_guard lock(progressMutex_);
    device_ = IdentifyDevice(DevicePath(settings.name));
  }
  portOpen_ = true;
  return portResult_ = kExitOk;
}

int Session::Run(const CommandArgs& a, const std::atomic<bool>& interrupted) {
  if (a.name == "info") return Info();
  if (a.name == "check") return Check(a.address);
  if (const int open = OpenPort(); open != kExitOk) return open;
  if (a.name == "read") return Read(a.address, a.tag);
  if (a.name == "block") return Block(a.address, a.count);
  if (a.name == "write") return Write(a.address, a.value, a.tag);
  if (a.name == "stop") return Gate(true);
  if (a.name == "resume") return Gate(false);
  if (a.name == "poll") return Poll(a, interrupted);
  return kExitUsage;
}

int Session::Info() {
  const DriverDescription d = host_.Describe();
  output_.Info(d, libraryPath_);
  return ExitFor(d.result);
}

int Session::Check(const std::string& argument) {
  // The text goes to the driver exactly as given: checking it is the point.
  const ParsedAddress transfer = host_.Parse(argument);
  const ParsedAddress other = host_.Parse(argument, 0);
  const ParsedAddress check = host_.Check(argument, 0);
  output_.Check(argument, transfer, other, check);
  return ExitFor(transfer.result);
}

int Session::Read(const std::string& argument, const zeltools::PlantTag* tag) {
  const ParsedAddress address = host_.Parse(AddressText(argument));
  if (address.result != ResultOk) {
    output_.Transfer("read", {{address.text, {}, tag}}, address.result, std::nullopt,
                     "the driver refused the address");
    return ExitFor(address.result);
  }
  std::uint32_t read = 0;
  const Timed t = InDriver("read " + address.text,
                           [&] { return Time([&] { return ReadOne(address, &read); }); });
  std::optional<std::uint32_t> value;
  if (t.result == ResultOk) value = read;
  std::string note = Why(t.result);
  if (address.isStop() && value) note = *value & 1 ? "traffic suspended" : "traffic running";
  output_.Transfer("read", {{address.text, value, tag}}, t.result, t.milliseconds, note);
  return ExitFor(t.result);
}

int Session::Block(const std::string& argument, std::int32_t count) {
  const ParsedAddress address = host_.Parse(AddressText(argument));
  if (address.result != ResultOk || address.isStop()) {
    output_.Transfer("block", {{address.text, {}}}, ResultRefused, std::nullopt,
                     address.isStop() ? "a block starts at a numeric variable"
                                      : "the driver refused the address");
    return kExitRefused;
  }
  std::uint32_t values[ZELQD_MAX_BLOCK] = {};
  const Timed t = InDriver("block " + address.text, [&] {
    return Time([&] { return host_.ReadBlock(address.block.variableNumber, count, values); });
  });
  std::vector<Item> items;
  for (std::int32_t i = 0; i < count; ++i) {
    Item item{NumericAddress(address.block.variableNumber + i), std::nullopt};
    if (t.result == ResultOk) item.value = values[i];
    items.push_back(item);
  }
  output_.Transfer("block", items, t.result, t.milliseconds, Why(t.result));
  return ExitFor(t.result);
}

int Session::Write(const std::string& argument, std::uint32_t value,
                   const zeltools::PlantTag* tag) {
  const ParsedAddress address = host_.Parse(AddressText(argument));
  if (address.result != ResultOk) {
    output_.Transfer("write", {{address.text, value, tag}}, address.result, std::nullopt,
                     "the driver refused the address");
    return ExitFor(address.result);
  }
  const Timed t = InDriver("write " + address.text, [&] {
    return Time([&] {
      return address.isStop() ? host_.WriteStop((value & 1) != 0)
                              : host_.WriteVar(address.block.variableNumber, value);
    });
  });
  std::string note = Why(t.result);
  if (address.isStop() && t.result == ResultOk)
    note = value & 1 ? "traffic suspended" : "traffic running";
  output_.Transfer("write", {{address.text, value, tag}}, t.result, t.milliseconds, note);
  return ExitFor(t.result);
}

int Session::Gate(bool stop) {
  const ParsedAddress address = host_.Parse("$STOP");
  const Timed t = InDriver(stop ? "stop" : "resume",
                           [&] { return Time([&] { return host_.WriteStop(stop); }); });
  std::string note = Why(t.result);
  if (t.result == ResultOk) note = stop ? "traffic suspended" : "traffic resumed";
  output_.Transfer(stop ? "stop" : "resume", {{address.text, stop ? 1u : 0u}}, t.result,
                   t.milliseconds, note);
  return ExitFor(t.result);
}

std::int32_t Session::ReadOne(const ParsedAddress& address, std::uint32_t* value) {
  if (!address.isStop()) return host_.ReadVar(address.block.variableNumber, value);
  bool stopped = false;
  const std::int32_t result = host_.ReadStop(&stopped);
  *value = stopped ? 1 : 0;
  return result;
}

std::string Session::LineGoneHow(const std::vector<Outcome>& records) {
  for (const Outcome& o : records) {
    if (zeltools::LineGone(o)) return kHungUp;
  }
  if (!device_.exists) return {};
  const std::string path = DevicePath(opened_.name);
  const DeviceIdentity now = IdentifyDevice(path);
  if (!now.exists) return path + " is gone";
  if (now != device_) return path + " now leads to another device";
  return {};
}

void Session::Reopen(ReopenPolicy& policy, const std::string& why, PollSummary& summary) {
  if (portOpen_) {
    InDriver("ClosePort", [&] { return host_.Close(); });
    portOpen_ = false;
  }
  Records();
  // ReopenPort keeps the settings of the open but not its reply time-out
  // (the port gets the driver's shortest); a longer one needs OpenPort.
  const bool reopenFirst =
      plan_.settings.replyTimeoutMs <= zeltools::driver_facts::kMinReadTimeoutMs;
  std::int32_t result = ResultFailed;
  std::string how;
  if (reopenFirst) {
    result = InDriver("ReopenPort", [&] { return host_.Reopen(); });
    how = std::string("ReopenPort ") + ResultText(result);
  }
  if (result != ResultOk) {
    result = InDriver("OpenPort", [&] { return host_.Open(opened_); });
    how += std::string(reopenFirst ? ", OpenPort " : "OpenPort ") + ResultText(result);
  }
  const auto now = Clock::now();
  policy.Reopened(result == ResultOk, now);
  {
    std::lock_guard lock(progressMutex_);
    ++summary.reopens;
    if (result == ResultOk) ++summary.reopened;
    pollSummary_ = summary;
  }
  std::string note = why + ": " + how;
  if (result == ResultOk) {
    Records();
    {
      std::lock_guard lock(progressMutex_);
      device_ = IdentifyDevice(DevicePath(opened_.name));
    }
    portOpen_ = true;
    closedBecause_.clear();
  } else {
    closedBecause_ = OpenFailure(opened_.name);
    note += ": " + closedBecause_ + "; next try in " + Seconds(policy.nextAt() - now);
  }
  output_.PortEvent("reopen", result, note);
}

int Session::Poll(const CommandArgs& args, const std::atomic<bool>& interrupted) {
  std::vector<ParsedAddress> addresses;
  for (const auto& argument : args.addresses) {
    ParsedAddress a = host_.Parse(AddressText(argument));
    if (a.result != ResultOk) {
      output_.Transfer("poll", {{a.text, {}}}, a.result, std::nullopt,
                       "the driver refused the address");
      return ExitFor(a.result);
    }
    addresses.push_back(std::move(a));
  }

  PollSummary summary;
  std::vector<double> latencies;
  {
    std::lock_guard lock(progressMutex_);
    polling_ = true;
    pollSummary_ = summary;
    latencies_.clear();
  }
  ReopenPolicy policy(args.reopen);
  LineQuality line;       // the attempts of this poll's transfers
  bool lineDown = false;  // a hang-up was counted and no poll has succeeded since
  std::string cause;      // why the port is being reopened
  int tries = 0;          // reopens for that cause
  const auto stopping = [&] { return interrupted.load() || output_.broken(); };
  auto next = Clock::now();
  for (std::uint64_t number = 1; (args.polls == 0 || number <= args.polls) && !stopping();
       ++number) {
    const auto at = std::chrono::system_clock::now();
    std::vector<Item> items;
    std::int32_t result = ResultOk;
    double ms = 0;
    std::string note, gone;
    if (!portOpen_) {
      result = ResultFailed;
      for (std::size_t i = 0; i < addresses.size(); ++i)
        items.push_back({addresses[i].text, std::nullopt, TagOf(args, i)});
      const auto left = policy.nextAt() - Clock::now();
      note = "port closed (" + closedBecause_ + "); " +
             (left <= std::chrono::milliseconds(50) ? std::string("reopening now")
                                                    : "next reopen in " + Seconds(left));
    } else {
      std::vector<Outcome> records;
      for (std::size_t i = 0; i < addresses.size(); ++i) {
        const ParsedAddress& a = addresses[i];
        std::uint32_t value = 0;
        const Timed t = InDriver("poll " + std::to_string(number) + " " + a.text,
                                 [&] { return Time([&] { return ReadOne(a, &value); }); });
        ms += t.milliseconds;
        result = GraverResult(result, t.result);
        items.push_back(
            {a.text, t.result == ResultOk ? std::optional(value) : std::nullopt, TagOf(args, i)});
        std::vector<Outcome> these;
        const std::string why = Why(t.result, &these);
        if (t.result != ResultOk && note.empty()) note = why;
        line.Add(AttemptsOf(these, observed_, t.result));
        records.insert(records.end(), these.begin(), these.end());
      }
      if (result == ResultFailed) gone = LineGoneHow(records);
      // A hang-up the driver recorded is in the note already.
      if (!gone.empty() && gone != kHungUp)
        note += (note.empty() ? "" : "; ") + std::string("hang-up: ") + gone;
    }
    {
      std::lock_guard lock(progressMutex_);
      ++summary.polls;
      summary.line = line;
      ++(result == ResultOk        ? summary.ok
         : result == ResultRefused ? summary.refused
                                   : summary.failed);
      summary.worst = GraverResult(summary.worst, result);
      if (!gone.empty() && !lineDown) ++summary.hangups;
      if (portOpen_) latencies.push_back(ms);
      pollSummary_ = summary;
      latencies_ = latencies;
    }
    lineDown = (lineDown || !gone.empty()) && result != ResultOk;
    output_.Poll(at, number, items, result, ms, note);
    policy.PollDone(result != ResultFailed, !gone.empty());
    // A reopen falls due at a poll's slot, give or take a little.
    if (policy.Due(Clock::now() + std::chrono::milliseconds(50)) && !stopping()) {
      // A reopen that follows a failed one keeps the first one's cause.
      if (portOpen_) {
        cause = !gone.empty() ? "after a hang-up"
                              : "after " + std::to_string(policy.failedRun()) + " failed polls";
        tries = 0;
      }
      Reopen(policy, cause + (++tries > 1 ? " (try " + std::to_string(tries) + ")" : ""), summary);
    }

    // Polls start at a fixed rate; one that ran late is followed at once.
    next += std::chrono::milliseconds(args.intervalMs);
    if (args.polls != 0 && number == args.polls) break;
    while (!stopping() && Clock::now() < next)
      std::this_thread::sleep_for(
          std::min<Clock::duration>(next - Clock::now(), std::chrono::milliseconds(20)));
    if (Clock::now() > next + std::chrono::milliseconds(args.intervalMs)) next = Clock::now();
  }
  SetLatencies(summary, latencies);
  {
    std::lock_guard lock(progressMutex_);
    if (interrupted) summary.note = ending_.empty() ? "interrupted" : ending_;
    polling_ = false;
  }
  output_.Summary(summary);
  return ExitFor(summary.worst);
}

void Session::Ending(const std::string& why) {
  std::lock_guard lock(progressMutex_);
  ending_ = why;
}

int Session::Abandon(const std::string& why) {
  std::lock_guard lock(progressMutex_);
  const bool busy = !inDriver_.empty();
  std::string detail;
  if (busy) {
    // What the driver has recorded of the call so far.
    std::vector<Outcome> attempts;
    {
      std::lock_guard records(recordsMutex_);
      attempts = AttemptsIn(records_);
    }
    if (!attempts.empty()) {
      const Outcome& last = attempts.back();
      detail = " after attempt " + std::to_string(last.attempt) + "/" +
               std::to_string(last.attempts) + (last.ok() ? "" : ", " + zeltools::ReasonText(last));
    }
  }
  const std::string abandoned = busy ? inDriver_ + " abandoned" + detail : std::string();
  if (polling_) {
    PollSummary s = pollSummary_;
    SetLatencies(s, latencies_);
    s.note = why + (busy ? "; " + abandoned : "");
    output_.Summary(s);
  } else if (busy) {
    output_.Warn(why + ": " + abandoned);
  }
  output_.Close();
  if (busy) ReleaseExclusive(device_);
  return polling_ ? ExitFor(pollSummary_.worst) : kExitInterrupted;
}

}  // namespace zelpoll
