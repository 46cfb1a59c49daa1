// What the simulator saw and did, counted.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "zelsim/faults.h"
#include "zelsim/frame.h"

namespace zelsim {

inline constexpr int kVerdictKinds = 6;

struct Counters {
  std::uint64_t writeRequests = 0;
  std::uint64_t readRequests = 0;
  std::array<std::uint64_t, kVerdictKinds> verdicts{};  // by Verdict
  std::uint64_t junkRuns = 0;
  std::uint64_t junkBytes = 0;
  std::uint64_t valuesStored = 0;
  std::uint64_t valuesRead = 0;
  std::uint64_t okReplies = 0;
  std::uint64_t errorReplies = 0;
  std::uint64_t valueReplies = 0;
  std::uint64_t unanswered = 0;  // no reply produced
  std::uint64_t bytesReceived = 0;
  std::uint64_t bytesSent = 0;                      // counted by whoever puts the bytes on the line
  std::array<std::uint64_t, kFaultKinds> faults{};  // by Fault, when they took effect

  std::uint64_t requests() const { return writeRequests + readRequests; }
  std::uint64_t& verdict(Verdict v) { return verdicts[static_cast<std::size_t>(v)]; }
  std::uint64_t& fault(Fault f) { return faults[static_cast<std::size_t>(f)]; }
};

// The counters as a few lines for a person; zero fault and verdict counts
// are left out.
std::string FormatCounters(const Counters& counters);

}  // namespace zelsim
