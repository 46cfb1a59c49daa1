// What zelpoll prints: for a person (text), or one record a line for
// scripts (CSV with a header, or JSON objects), with timestamps.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"

namespace zelpoll {

enum class Format { Text, Csv, Json };

using TimePoint = std::chrono::system_clock::time_point;

// One variable of a record; the value is absent when it was not read.
struct Item {
  std::string address;
  std::optional<std::uint32_t> value;
};

struct PollSummary {
  std::uint64_t polls = 0;
  std::uint64_t ok = 0;
  std::uint64_t refused = 0;
  std::uint64_t failed = 0;
  double minMs = 0;
  double medianMs = 0;
  double maxMs = 0;
  std::int32_t worst = ResultOk;
};

class Output {
 public:
  Output(Format format, std::FILE* out);

  Format format() const { return format_; }

  void Info(const DriverDescription& driver, const std::string& libraryPath);
  // A read, block read or write ("read", "block", "write", "stop",
  // "resume"). note says why a result was not ok, or what a write meant.
  void Transfer(std::string_view command, const std::vector<Item>& items, std::int32_t result,
                std::optional<double> milliseconds, const std::string& note);
  // ParseAddress with the transfer access kind and another kind, and
  // CheckAddress.
  void Check(const std::string& text, const ParsedAddress& parseTransfer,
             const ParsedAddress& parseOther, const ParsedAddress& check);
  void Poll(TimePoint at, std::uint64_t number, const std::vector<Item>& items, std::int32_t result,
            double milliseconds);
  void Summary(const PollSummary& summary);
  // A message the driver reported through the host library's err.
  void Message(int code, const std::string& text);
  // A remark of the tool's own; shown in text only (on stderr).
  void Remark(const std::string& text);
  // A script line about to run; shown in text only.
  void Command(const std::string& line);

 private:
  // CSV: time,command,poll,address,value,hex,result,latency_ms,note
  void CsvRow(TimePoint at, std::string_view command, const std::string& poll, const Item* item,
              std::string_view result, std::optional<double> ms, const std::string& note);
  void Line(const std::string& text);

  Format format_;
  std::FILE* out_;
  bool csvHeaderDone_ = false;
};

// Formatting pieces, for the tests.
std::string Hex32(std::uint32_t value);  // "0x0000002A"
std::string IsoTime(TimePoint at);       // "2024-05-01T12:00:00.123Z"
std::string JsonString(std::string_view text);
std::string CsvField(std::string_view text);

}  // namespace zelpoll
