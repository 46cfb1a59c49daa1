#include "zelsim/counters.h"

#include <cinttypes>
#include <cstdio>

namespace zelsim {
namespace {

void Line(std::string& out, const char* label, std::uint64_t value) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "  %-28s %" PRIu64 "\n", label, value);
  out += buffer;
}

}  // namespace

std::string FormatCounters(const Counters& c) {
  std::string out = "counters:\n";
  Line(out, "requests", c.requests());
  Line(out, "  write", c.writeRequests);
  Line(out, "  read", c.readRequests);
  for (int v = 1; v < kVerdictKinds; ++v) {
    if (c.verdicts[static_cast<std::size_t>(v)] == 0) continue;
    const std::string label = std::string("  failed: ") + VerdictText(static_cast<Verdict>(v));
    Line(out, label.c_str(), c.verdicts[static_cast<std::size_t>(v)]);
  }
  Line(out, "replies OK", c.okReplies);
  Line(out, "replies ERROR", c.errorReplies);
  Line(out, "replies with values", c.valueReplies);
  Line(out, "requests not answered", c.unanswered);
  Line(out, "values stored", c.valuesStored);
  Line(out, "values read", c.valuesRead);
  Line(out, "junk runs", c.junkRuns);
  Line(out, "junk bytes", c.junkBytes);
  Line(out, "bytes received", c.bytesReceived);
  Line(out, "bytes sent", c.bytesSent);
  for (int f = 0; f < kFaultKinds; ++f) {
    if (c.faults[static_cast<std::size_t>(f)] == 0) continue;
    const std::string label = std::string("fault ") + FaultName(static_cast<Fault>(f));
    Line(out, label.c_str(), c.faults[static_cast<std::size_t>(f)]);
  }
  return out;
}

}  // namespace zelsim
