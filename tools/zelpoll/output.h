// What zelpoll prints: for a person (text), or one record a line for
// scripts (CSV with a header, or JSON objects), with timestamps. Records
// may come from two threads (the one that drives the port, and the one
// that ends the run on Ctrl-C); each is written whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_session.h"
#include "line_quality.h"

namespace zeltools {
struct PlantTag;
}

namespace zelpoll {

using zeltools::DriverDescription;
using zeltools::ParsedAddress;

enum class Format { Text, Csv, Json };

using TimePoint = std::chrono::system_clock::time_point;

// One variable of a record; the value is absent when it was not read. A
// variable named by a tag of --tags is shown by the tag's name, with the
// value in the tag's units beside the raw one.
struct Item {
  std::string address;
  std::optional<std::uint32_t> value;
  const zeltools::PlantTag* tag = nullptr;
};

struct PollSummary {
  std::uint64_t polls = 0;
  std::uint64_t ok = 0;
  std::uint64_t refused = 0;
  std::uint64_t failed = 0;
  std::uint64_t hangups = 0;   // times the line was found gone
  std::uint64_t reopens = 0;   // reopens tried
  std::uint64_t reopened = 0;  // reopens that opened the port
  LineQuality line;            // attempts and retries of the transfers
  double minMs = 0;
  double medianMs = 0;
  double maxMs = 0;
  std::int32_t worst = ResultOk;
  std::string note;  // how the poll ended, when not by its count
};

class Output {
 public:
  Output(Format format, std::FILE* out);

  Format format() const { return format_; }

  // The port the records are about: its name, and whether it is the
  // embedded simulator's. Empty until a port is opened.
  void SetPort(const std::string& name, bool simulator);

  void Info(const DriverDescription& driver, const std::string& libraryPath);
  // A read, block read or write ("read", "block", "write", "stop",
  // "resume"). note says why a result was not ok, or what a write meant.
  void Transfer(std::string_view command, const std::vector<Item>& items, std::int32_t result,
                std::optional<double> milliseconds, const std::string& note);
  // Something done to the port itself: "open" (a failed OpenPort) or
  // "reopen" (poll bringing the line back).
  void PortEvent(std::string_view command, std::int32_t result, const std::string& note);
  // ParseAddress with the transfer access kind and another kind, and
  // CheckAddress.
  void Check(const std::string& text, const ParsedAddress& parseTransfer,
             const ParsedAddress& parseOther, const ParsedAddress& check);
  void Poll(TimePoint at, std::uint64_t number, const std::vector<Item>& items, std::int32_t result,
            double milliseconds, const std::string& note);
  void Summary(const PollSummary& summary);
  // A message the driver reported through the host library's err.
  void Message(int code, const std::string& text);
  // A remark of the tool's own; shown in text only (on stderr).
  void Remark(const std::string& text);
  // A warning; on stderr in every format.
  void Warn(const std::string& text);
  // A script line about to run, as written; shown in text only.
  void Command(const std::string& line);
  // A line of a script that holds only a comment; shown in text only.
  void Comment(const std::string& line);

  // Nothing is written after this.
  void Close();
  // Whether writing failed (the reader went away).
  bool broken() const;

 private:
  // CSV: time,command,poll,address,value,hex,result,latency_ms,note,port
  void CsvRow(TimePoint at, std::string_view command, const std::string& poll, const Item* item,
              std::string_view result, std::optional<double> ms, const std::string& note);
  // ,"port":...,"simulator":true for JSON records about the port.
  std::string JsonPort() const;
  // Text: ", embedded simulator" when the port is the simulator's.
  std::string TextPort() const;
  void Line(const std::string& text);

  Format format_;
  std::FILE* out_;
  mutable std::mutex mutex_;
  bool csvHeaderDone_ = false;
  bool closed_ = false;
  bool broken_ = false;
  std::string port_;
  bool simulator_ = false;
};

// Formatting pieces, for the tests.
std::string Hex32(std::uint32_t value);  // "0x0000002A"
std::string IsoTime(TimePoint at);       // "2024-05-01T12:00:00.123Z"
std::string JsonString(std::string_view text);
std::string CsvField(std::string_view text);
// "TIC101.PV = 21.5 degC (raw 215)", or "$00042 = 215 (0x000000D7)" without
// a tag; arrow: " = " for what was read, " <- " for what was written.
std::string TextItem(const Item& item, std::string_view arrow);

}  // namespace zelpoll
