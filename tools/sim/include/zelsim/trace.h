// The frame trace: one line for each request, reply piece and run of junk,
// with the time, the direction, the decoded fields, the checksum verdict and
// the bytes as they went over the line.
//
//      0.412 <- R seq ! var 00042 count 001 sum 0D: ok | <EOT>R!0004200104<ETX>
//      0.412 -> values 00000064 sum 96: ok | <STX>0000006496<ETX>
#pragma once

#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "zelsim/engine.h"

namespace zelsim {

// A request's fields and verdict, without the bytes.
std::string DescribeRequest(const Request& request);

// The first replySize bytes of a reply as sent (digits possibly corrupted):
// keyword or values, and whether its checksum digits are right.
std::string DescribeReply(std::span<const std::uint8_t> sent, std::size_t replySize,
                          Command command);

class Trace {
 public:
  // out: where the lines go; nullptr writes nothing. prefix starts every line.
  explicit Trace(std::FILE* out, std::string prefix = "");

  bool enabled() const { return out_ != nullptr; }

  void Junk(double seconds, std::span<const std::uint8_t> bytes);
  void Received(double seconds, const Exchange& exchange);
  // Chunk `index` of the exchange's line went out.
  void Sent(double seconds, const Exchange& exchange, std::size_t index);
  void Note(double seconds, std::string_view text);

 private:
  void Line(double seconds, std::string_view arrow, const std::string& text);

  std::FILE* out_;
  std::string prefix_;
  std::mutex mutex_;
};

}  // namespace zelsim
