// The remote computer: it takes request bytes and produces the bytes of its
// replies, with the faults it is told to inject. The engine does no I/O and
// reads no clock, so that tests can drive it step by step; a Runner puts it
// on a serial line.
//
// Write request that passes its checks: the value is stored and the OK reply
// goes back. Read request that passes: the value reply carries the values.
// A request that fails its checks gets the ERROR reply if it is a write and
// no reply if it is a read; a read of more than 106 values, or one that runs
// past variable 99999, fails its checks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "zelsim/counters.h"
#include "zelsim/faults.h"
#include "zelsim/frame.h"
#include "zelsim/random.h"
#include "zelsim/request_reader.h"
#include "zelsim/variable_table.h"

namespace zelsim {

// A run of bytes to put on the line after waiting waitMs.
struct Chunk {
  int waitMs = 0;
  Bytes bytes;
};

// One request and what became of it.
struct Exchange {
  std::uint64_t ordinal = 0;  // 1 for the first request
  Request request;
  Bytes reply;                // the reply produced; empty when there is none
  std::vector<Chunk> line;    // what goes on the line; empty when nothing does
  std::vector<Fault> faults;  // the faults that took effect, in order
  std::string note;           // how they took effect, for a person

  bool has(Fault fault) const;
  Bytes transmitted() const;  // the bytes of all chunks, in order
};

// Bytes that started no request.
struct Junk {
  Bytes bytes;
};

using Event = std::variant<Junk, Exchange>;

class Engine {
 public:
  explicit Engine(FaultConfig faults = {});

  // Takes bytes as they came from the line; returns the junk runs and the
  // exchanges of the requests they completed, in order.
  std::vector<Event> Feed(std::span<const std::uint8_t> bytes);

  // Handles one whole request frame (lead byte first, length as its command
  // letter says).
  Exchange Handle(std::span<const std::uint8_t> frame);

  VariableTable& table() { return table_; }
  const VariableTable& table() const { return table_; }
  Counters& counters() { return counters_; }
  const Counters& counters() const { return counters_; }
  const FaultConfig& faults() const { return faults_; }
  std::size_t pending() const { return reader_.pending(); }

 private:
  void Answer(Exchange& x, bool refused);
  void ApplyLineFaults(Exchange& x, const std::vector<Fault>& hit);
  std::string Corrupt(Bytes& bytes, Command command);

  FaultConfig faults_;
  Random decisions_;  // one draw per request for each random trigger
  Random details_;    // positions, digits and noise bytes
  RequestReader reader_;
  VariableTable table_;
  Counters counters_;
  std::uint64_t ordinal_ = 0;
};

}  // namespace zelsim
