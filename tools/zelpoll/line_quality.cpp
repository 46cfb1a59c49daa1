#include "line_quality.h"

#include <cinttypes>
#include <cstdio>

namespace zelpoll {

TransferAttempts AttemptsOf(const std::vector<zeltools::Outcome>& records, bool observed,
                            std::int32_t result) {
  if (result == ResultRefused) return {true, 0};  // nothing went to the line
  std::uint64_t made = 0;
  for (const zeltools::Outcome& o : records) made += o.kind == ZELQD_OUTCOME_ATTEMPT ? 1 : 0;
  if (!observed || made == 0) return {};
  return {true, made};
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
    std::snprintf(text, sizeof text,
                  "attempts not known (%" PRIu64 " transfers without outcome records)", unknown);
    return text;
  }
  std::snprintf(text, sizeof text,
                "transfers %" PRIu64 ", attempts %" PRIu64 ", retries %" PRIu64
                " (%.1f%% of attempts)",
                transfers, attempts, retries,
                100.0 * static_cast<double>(retries) / static_cast<double>(attempts));
  std::string out = text;
  if (unknown > 0) {
    std::snprintf(text, sizeof text, ", %" PRIu64 " more transfers without outcome records",
                  unknown);
    out += text;
  }
  return out;
}

}  // namespace zelpoll
