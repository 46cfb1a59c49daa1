#include "simulator_options.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "usage.h"

namespace zeltools {
namespace {

using zelsim::Fault;

struct FaultOption {
  Fault fault;
  const char* name;
  const char* help;
};

constexpr FaultOption kFaultOptions[] = {
    {Fault::Drop, "drop", "lose the reply on the line (a write is still stored)"},
    {Fault::Corrupt, "corrupt", "change one digit of the reply"},
    {Fault::Split, "split", "send the reply in pieces with gaps"},
    {Fault::Delay, "delay", "hold the reply back before sending it"},
    {Fault::Garbage, "garbage", "send noise bytes after the reply"},
    {Fault::Error, "error", "refuse: ERROR to a write (nothing stored), no reply to a read"},
    {Fault::Silent, "silent", "ignore the request: nothing stored, no reply"},
};

CLI::Validator RuleCheck(const std::string& option) {
  return Sentence([option](const std::string& text) -> std::string {
    try {
      zelsim::Trigger::Parse(text);
      return {};
    } catch (const std::invalid_argument& e) {
      // The parser names the rule and what it expected.
      const std::string why = e.what();
      const auto colon = why.find("\": ");
      return option + " takes a fault rule, and \"" + text +
             "\" is not one: " + (colon == std::string::npos ? why : why.substr(colon + 3)) + ".";
    }
  });
}

CLI::Validator ReadableFile(const std::string& option) {
  return Sentence([option](const std::string& path) -> std::string {
    if (std::ifstream(path)) return {};
    return option + " names a file that cannot be read: " + path + ": " + std::strerror(errno) +
           ".";
  });
}

}  // namespace

void AddSimulatorOptions(CLI::App& app, SimulatorOptions& o, const std::string& prefix,
                         const std::string& group) {
  const auto name = [&prefix](const char* base) { return "--" + prefix + base; };
  for (const auto& f : kFaultOptions) {
    app.add_option(name(f.name), o.rules[static_cast<std::size_t>(f.fault)], f.help)
        ->type_name("RULE")
        ->check(RuleCheck(name(f.name)))
        ->group(group);
  }
  app.add_option(name("delay-ms"), o.faults.delayMs, "how long --" + prefix + "delay holds a reply")
      ->capture_default_str()
      ->check(WholeNumber(name("delay-ms"), 0, 3600000))
      ->group(group);
  app.add_option(name("split-pieces"), o.faults.splitPieces, "pieces of a split reply")
      ->capture_default_str()
      ->check(WholeNumber(name("split-pieces"), 2, 1000))
      ->group(group);
  app.add_option(name("split-gap"), o.faults.splitGapMs, "milliseconds between the pieces")
      ->capture_default_str()
      ->check(WholeNumber(name("split-gap"), 0, 3600000))
      ->group(group);
  app.add_option(name("garbage-bytes"), o.faults.garbageBytes, "noise bytes after a reply")
      ->capture_default_str()
      ->check(WholeNumber(name("garbage-bytes"), 1, 10000))
      ->group(group);
  app.add_option(name("seed"), o.faults.seed, "seed of the random fault rules")
      ->capture_default_str()
      ->check(WholeNumber(name("seed"), 0, 999999999999999999))
      ->group(group);
  app.add_option(name("pace"), o.paceBaud,
                 "take requests and send replies no faster than a line of this baud rate "
                 "carries them (0: at once)")
      ->capture_default_str()
      ->check(WholeNumber(name("pace"), 0, 4000000))
      ->group(group);
  app.add_option(name("turnaround-ms"), o.turnaroundMs,
                 "milliseconds from the end of a request to the first byte of its reply (a "
                 "delay fault adds to it)")
      ->capture_default_str()
      ->check(WholeNumber(name("turnaround-ms"), 0, 3600000))
      ->group(group);
  app.add_option(name("values"), o.valuesFile,
                 "initial values: one \"number value\" a line, decimal or 0x hex")
      ->type_name("FILE")
      ->check(ReadableFile(name("values")))
      ->group(group);
}

void ApplyFaultRules(SimulatorOptions& o) {
  for (std::size_t i = 0; i < o.rules.size(); ++i) {
    if (!o.rules[i].empty()) o.faults.triggers[i] = zelsim::Trigger::Parse(o.rules[i]);
  }
}

std::string FaultHelp(const std::string& prefix) {
  return "Fault RULE: never | always | a probability (0.25 or 25%) | req:3,5-7,10- (request "
         "numbers, the first request is 1) | every:N | var:42,100-110 (requests concerning these "
         "variables). Random rules draw from --" +
         prefix + "seed: the same seed and the same requests give the same faults.";
}

std::string DescribeFaults(const zelsim::FaultConfig& faults) {
  std::string out;
  for (const auto& f : kFaultOptions) {
    const auto& trigger = faults[f.fault];
    if (!trigger.active()) continue;
    if (!out.empty()) out += ", ";
    out += std::string(f.name) + " " + trigger.Describe();
    if (f.fault == Fault::Delay) out += " (" + std::to_string(faults.delayMs) + " ms)";
    if (f.fault == Fault::Split)
      out += " (" + std::to_string(faults.splitPieces) + " pieces, " +
             std::to_string(faults.splitGapMs) + " ms apart)";
    if (f.fault == Fault::Garbage) out += " (" + std::to_string(faults.garbageBytes) + " bytes)";
  }
  if (out.empty()) return "no faults";
  return out + ", seed " + std::to_string(faults.seed);
}

}  // namespace zeltools
