// The line-quality figures of a poll: how many attempts the driver made for
// its transfers, and how many of those were retries. A transfer's attempts
// are told by AttemptsOf; the tally does not care where they come from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outcomes.h"

namespace zelpoll {

// The attempts one transfer made on the line; not known when they were not
// seen (a driver without outcome records, or none came for this transfer).
struct TransferAttempts {
  bool known = false;
  std::uint64_t made = 0;
};

// A transfer's attempts from the driver's records of it. observed: whether
// the driver gives records at all. A refused transfer makes none.
TransferAttempts AttemptsOf(const std::vector<zeltools::Outcome>& records, bool observed,
                            std::int32_t result);

struct LineQuality {
  std::uint64_t transfers = 0;  // transfers that went to the line, their attempts known
  std::uint64_t attempts = 0;
  std::uint64_t retries = 0;  // attempts after the first of their transfer
  std::uint64_t unknown = 0;  // transfers whose attempts were not seen

  void Add(TransferAttempts attempts);
  // Whether every transfer's attempts are known and there was one.
  bool complete() const { return unknown == 0 && transfers > 0; }
  // "transfers 20, attempts 27, retries 7 (25.9% of attempts)"; "" when no
  // transfer reached the line.
  std::string Text() const;
};

}  // namespace zelpoll
