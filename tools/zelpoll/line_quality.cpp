#include "line_quality.h"

#include <cinttypes>
#include <cstdio>

#include "host.h"

namespace zelpoll {

TransferAttempts AttemptsOf(const std::vector<AttemptLine>& lines, bool traced,
                            std::int32_t result) {
  if (result == ResultRefused) return {true, 0};  // nothing went to the line
  if (!traced || lines.empty()) return {};
  return {true, lines.size()};
}

void LineQuality::Add(TransferAttempts a) {
  if (!a.known) {
    ++unknown;
    return;
  }
  if (a.made == 0) return;
  ++transfers;
  attempts += a.made;
  retries += a.made - 1;
}

std::string LineQuality::Text() const {
  char text[160];
  if (transfers == 0) {
    if (unknown == 0) return {};
    std::snprintf(text, sizeof text, "attempts not known (%" PRIu64 " transfers not traced)",
                  unknown);
    return text;
  }
  std::snprintf(text, sizeof text,
                "transfers %" PRIu64 ", attempts %" PRIu64 ", retries %" PRIu64
                " (%.1f%% of attempts)",
                transfers, attempts, retries,
                100.0 * static_cast<double>(retries) / static_cast<double>(attempts));
  std::string out = text;
  if (unknown > 0) {
    std::snprintf(text, sizeof text, ", %" PRIu64 " more transfers not traced", unknown);
    out += text;
  }
  return out;
}

}  // namespace zelpoll
