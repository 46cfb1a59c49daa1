// Faults the simulator can inject, and the rules that choose the requests
// they hit.
//
// A trigger is written as one of:
//   never | always          (never is the default)
//   0.25 | 25%              each request, with that probability
//   req:3,5-7,10-           the requests with these numbers (the first
//                           request received is 1; "10-" means 10 and on)
//   every:4                 every fourth request (4, 8, 12, ...)
//   var:42,100-110          requests that concern one of these variables
//                           (a read concerns every variable of its block)
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelsim {

enum class Fault {
  Silent,   // the request is ignored: nothing stored, no reply
  Error,    // refused: a write gets ERROR (nothing stored), a read no reply
  Drop,     // the reply is produced (a write is stored) but lost on the line
  Corrupt,  // one digit of the reply changed to another digit
  Delay,    // the reply waits before it goes out
  Split,    // the reply goes out in pieces with gaps between them
  Garbage,  // noise bytes follow the reply
};
inline constexpr int kFaultKinds = 7;

const char* FaultName(Fault fault);

struct Trigger {
  enum class Kind { Never, Always, Probability, Requests, Every, Variables };
  struct Range {
    std::int64_t first;
    std::int64_t last;  // inclusive
  };

  Kind kind = Kind::Never;
  double probability = 0;
  std::uint64_t every = 0;
  std::vector<Range> ranges;

  // Throws std::invalid_argument with a message for a person.
  static Trigger Parse(std::string_view text);

  bool active() const { return kind != Kind::Never; }
  bool random() const { return kind == Kind::Probability; }

  // Whether the trigger hits request number `ordinal` (1-based) that
  // concerns variables firstVariable to lastVariable (-1 when unknown);
  // draw is a number in [0, 1) drawn for this request when random().
  bool Hits(std::uint64_t ordinal, int firstVariable, int lastVariable, double draw) const;

  std::string Describe() const;
};

struct FaultConfig {
  std::uint64_t seed = 1;
  std::array<Trigger, kFaultKinds> triggers{};
  int delayMs = 1500;    // Delay: wait before the reply
  int splitPieces = 3;   // Split: pieces (at most one per byte)
  int splitGapMs = 50;   // Split: wait between pieces
  int garbageBytes = 8;  // Garbage: noise bytes after the reply

  Trigger& operator[](Fault fault) { return triggers[static_cast<std::size_t>(fault)]; }
  const Trigger& operator[](Fault fault) const { return triggers[static_cast<std::size_t>(fault)]; }
  bool any() const;
};

}  // namespace zelsim
