#include "output.h"

#include <cinttypes>
#include <cmath>
#include <ctime>

#include "cp437.h"
#include "exit_codes.h"
#include "tag_file.h"

namespace zelpoll {
namespace {

std::string Printf(const char* format, auto... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}

std::string Signed(std::uint32_t value) { return std::to_string(static_cast<std::int32_t>(value)); }

std::string Millis(double ms) { return Printf("%.1f", ms); }

// The value in the tag's units: as many digits as its type holds.
std::string Scaled(const zeltools::PlantTag& tag, std::uint32_t raw) {
  return Printf(tag.type == zeltools::ValueType::Float32 ? "%.7g" : "%.15g",
                zeltools::TagValue(tag, raw));
}

// The variable's 32 bits as the tag's type reads them.
std::string Raw(const zeltools::PlantTag& tag, std::uint32_t raw) {
  switch (tag.type) {
    case zeltools::ValueType::Uint32:
      return std::to_string(raw);
    case zeltools::ValueType::Float32:
      return Hex32(raw);
    case zeltools::ValueType::Int32:
      break;
  }
  return Signed(raw);
}

std::string ItemName(const Item& item) { return item.tag ? item.tag->name : item.address; }

std::string LocalTime(TimePoint at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return Printf("%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms.count() % 1000));
}

// ,"value":100,"hex":"0x00000064", or nothing for a value not read.
// With a tag: ,"tag":"TIC101.PV","scaled":21.5,"unit":"degC" after it
// (scaled when read and a finite number, unit when the tag has one).
std::string JsonValue(const Item& item) {
  std::string out;
  if (item.value)
    out = ",\"value\":" + Signed(*item.value) + ",\"hex\":\"" + Hex32(*item.value) + "\"";
  if (item.tag == nullptr) return out;
  out += ",\"tag\":" + JsonString(item.tag->name);
  if (item.value && std::isfinite(zeltools::TagValue(*item.tag, *item.value)))
    out += ",\"scaled\":" + Scaled(*item.tag, *item.value);
  if (!item.tag->unit.empty()) out += ",\"unit\":" + JsonString(item.tag->unit);
  return out;
}

std::string JsonItem(const Item& item) {
  return "{\"address\":" + JsonString(item.address) + JsonValue(item) + "}";
}

std::string JsonNote(const std::string& note) {
  return note.empty() ? std::string() : ",\"note\":" + JsonString(note);
}

std::string JsonAddress(const ParsedAddress& a) {
  std::string out = "{\"accessKind\":" + std::to_string(a.block.accessKind) +
                    ",\"result\":" + JsonString(ResultText(a.result));
  if (a.result == ResultOk) {
    out += ",\"type\":" + JsonString(std::string(1, static_cast<char>(a.block.typeLetter)));
    if (a.block.typeLetter == 'N') out += ",\"variable\":" + std::to_string(a.block.variableNumber);
    out += ",\"class\":" + std::to_string(a.block.variableClass);
  }
  return out + "}";
}

std::string TextAddress(const char* what, const ParsedAddress& a) {
  std::string out = Printf(
      "  %-30s %s",
      (std::string(what) + ", access kind " + std::to_string(a.block.accessKind) + ":").c_str(),
      ResultText(a.result));
  if (a.result == ResultOk) {
    out += Printf("      type %c", static_cast<char>(a.block.typeLetter));
    if (a.block.typeLetter == 'N') out += Printf("  variable %d", a.block.variableNumber);
    out += Printf("  class %d", a.block.variableClass);
  }
  return out;
}

}  // namespace

std::string Hex32(std::uint32_t value) { return Printf("0x%08" PRIX32, value); }

std::string IsoTime(TimePoint at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
  const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  return Printf("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms.count() % 1000));
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += Printf("\\u%04x", static_cast<unsigned>(c));
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string TextItem(const Item& item, std::string_view arrow) {
  std::string out = ItemName(item) + std::string(arrow);
  if (!item.value) return out + "-";
  if (item.tag == nullptr) return out + Signed(*item.value) + " (" + Hex32(*item.value) + ")";
  out += Scaled(*item.tag, *item.value);
  if (!item.tag->unit.empty()) out += " " + item.tag->unit;
  return out + " (raw " + Raw(*item.tag, *item.value) + ")";
}

Output::Output(enum Format format, std::FILE* out) : format_(format), out_(out) {}

void Output::SetPort(const std::string& name, bool simulator) {
  std::lock_guard lock(mutex_);
  port_ = name;
  simulator_ = simulator;
}

void Output::Close() {
  std::lock_guard lock(mutex_);
  (void)std::fflush(out_);  // the last lines; nothing is written after them
  closed_ = true;
}

bool Output::broken() const {
  std::lock_guard lock(mutex_);
  return broken_;
}

std::string Output::JsonPort() const {
  if (port_.empty()) return {};
  return ",\"port\":" + JsonString(port_) + (simulator_ ? ",\"simulator\":true" : "");
}

std::string Output::TextPort() const { return simulator_ ? ", embedded simulator" : ""; }

void Output::Line(const std::string& text) {
  if (closed_) return;
  std::fputs(text.c_str(), out_);
  std::fputc('\n', out_);
  if (std::fflush(out_) != 0 || std::ferror(out_) != 0) broken_ = true;
}

void Output::CsvRow(TimePoint at, std::string_view command, const std::string& poll,
                    const Item* item, std::string_view result, std::optional<double> ms,
                    const std::string& note) {
  if (!csvHeaderDone_) {
    Line("time,command,poll,address,value,hex,result,latency_ms,note,port");
    csvHeaderDone_ = true;
  }
  std::string row = IsoTime(at) + "," + std::string(command) + "," + poll + ",";
  if (item != nullptr) {
    row += CsvField(item->address) + ",";
    row += item->value ? Signed(*item->value) + "," + Hex32(*item->value) : ",";
  } else {
    row += ",,";
  }
  row += "," + std::string(result) + "," + (ms ? Millis(*ms) : "") + "," + CsvField(note) + ",";
  if (!port_.empty()) row += CsvField(simulator_ ? port_ + " (embedded simulator)" : port_);
  Line(row);
}

void Output::Info(const DriverDescription& d, const std::string& libraryPath) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::system_clock::now();
  const char* result = ResultText(d.result);
  const std::string banner = Cp437ToUtf8(d.banner);
  switch (format_) {
    case Format::Text:
      if (d.result != ResultOk) {
        Line(std::string("GetDriverInfo: ") + result);
        return;
      }
      if (!closed_) std::fputs(banner.c_str(), out_);
      Line("");
      Line("driver:        " + libraryPath);
      Line("short name:    " + d.shortName);
      Line("instance size: " + std::to_string(d.instanceSize) + " bytes");
      Line("info fields:   " + std::to_string(d.infoTag) + ", " + std::to_string(d.infoFlagA) +
           ", " + std::to_string(d.infoFlagB));
      return;
    case Format::Csv:
      CsvRow(
          now, "info", "", nullptr, result, std::nullopt,
          d.shortName + "; instance size " + std::to_string(d.instanceSize) + "; " + libraryPath);
      return;
    case Format::Json:
      Line("{\"time\":" + JsonString(IsoTime(now)) +
           ",\"command\":\"info\",\"result\":" + JsonString(result) +
           ",\"driver\":" + JsonString(libraryPath) + ",\"shortName\":" + JsonString(d.shortName) +
           ",\"instanceSize\":" + std::to_string(d.instanceSize) + ",\"infoTag\":" +
           std::to_string(d.infoTag) + ",\"infoFlagA\":" + std::to_string(d.infoFlagA) +
           ",\"infoFlagB\":" + std::to_string(d.infoFlagB) + ",\"banner\":" + JsonString(banner) +
           "}");
      return;
  }
}

void Output::Transfer(std::string_view command, const std::vector<Item>& items, std::int32_t result,
                      std::optional<double> ms, const std::string& note) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::system_clock::now();
  const char* resultText = ResultText(result);
  switch (format_) {
    case Format::Text: {
      const char* arrow = command == "read" || command == "block" ? " = " : " <- ";
      std::string status = std::string("[") + resultText;
      if (ms) status += ", " + Millis(*ms) + " ms";
      status += TextPort() + "]";
      if (!note.empty()) status += "  " + note;
      std::vector<std::string> lines;
      for (const Item& item : items) {
        if (item.value) lines.push_back(TextItem(item, arrow));
      }
      if (lines.size() <= 1 && items.size() <= 1) {
        const std::string head =
            lines.empty() ? (items.empty() ? std::string(command) : ItemName(items[0])) : lines[0];
        Line(head + "  " + status);
        return;
      }
      for (const auto& l : lines) Line(l);
      Line(std::string(command) + " of " + std::to_string(items.size()) + " values  " + status);
      return;
    }
    case Format::Csv:
      if (items.empty()) CsvRow(now, command, "", nullptr, resultText, ms, note);
      for (const Item& item : items) CsvRow(now, command, "", &item, resultText, ms, note);
      return;
    case Format::Json: {
      std::string line = "{\"time\":" + JsonString(IsoTime(now)) +
                         ",\"command\":" + JsonString(command) +
                         ",\"result\":" + JsonString(resultText);
      if (ms) line += ",\"latencyMs\":" + Millis(*ms);
      if (command == "block") {
        line += ",\"values\":[";
        for (std::size_t i = 0; i < items.size(); ++i) line += (i ? "," : "") + JsonItem(items[i]);
        line += "]";
      } else if (!items.empty()) {
        line += ",\"address\":" + JsonString(items[0].address) + JsonValue(items[0]);
      }
      Line(line + JsonNote(note) + JsonPort() + "}");
      return;
    }
  }
}

void Output::Check(const std::string& text, const ParsedAddress& parseTransfer,
                   const ParsedAddress& parseOther, const ParsedAddress& check) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::system_clock::now();
  switch (format_) {
    case Format::Text:
      Line("address " + JsonString(text));
      Line(TextAddress("ParseAddress", parseTransfer));
      Line(TextAddress("ParseAddress", parseOther));
      Line(TextAddress("CheckAddress", check));
      return;
    case Format::Csv: {
      const Item item{text, std::nullopt};
      const auto describe = [](const char* what, const ParsedAddress& a) {
        return std::string(what) + "(" + std::to_string(a.block.accessKind) +
               ")=" + ResultText(a.result);
      };
      CsvRow(now, "check", "", &item, ResultText(parseTransfer.result), std::nullopt,
             describe("ParseAddress", parseTransfer) + " " + describe("ParseAddress", parseOther) +
                 " " + describe("CheckAddress", check));
      return;
    }
    case Format::Json:
      Line("{\"time\":" + JsonString(IsoTime(now)) + ",\"command\":\"check\",\"address\":" +
           JsonString(text) + ",\"result\":" + JsonString(ResultText(parseTransfer.result)) +
           ",\"parseAddress\":[" + JsonAddress(parseTransfer) + "," + JsonAddress(parseOther) +
           "],\"checkAddress\":" + JsonAddress(check) + "}");
      return;
  }
}

void Output::Poll(TimePoint at, std::uint64_t number, const std::vector<Item>& items,
                  std::int32_t result, double ms, const std::string& note) {
  std::lock_guard lock(mutex_);
  switch (format_) {
    case Format::Text: {
      std::string line = LocalTime(at) + Printf("  #%-4" PRIu64, number);
      for (const Item& item : items) line += "  " + TextItem(item, "=");
      line += Printf("  %8.1f ms  ", ms) + ResultText(result);
      if (simulator_) line += " (embedded simulator)";
      Line(note.empty() ? line : line + "  " + note);
      return;
    }
    case Format::Csv:
      for (const Item& item : items)
        CsvRow(at, "poll", std::to_string(number), &item, ResultText(result), ms, note);
      return;
    case Format::Json: {
      std::string line = "{\"time\":" + JsonString(IsoTime(at)) +
                         ",\"command\":\"poll\",\"poll\":" + std::to_string(number) +
                         ",\"result\":" + JsonString(ResultText(result)) +
                         ",\"latencyMs\":" + Millis(ms) + ",\"values\":[";
      for (std::size_t i = 0; i < items.size(); ++i) line += (i ? "," : "") + JsonItem(items[i]);
      Line(line + "]" + JsonNote(note) + JsonPort() + "}");
      return;
    }
  }
}

void Output::PortEvent(std::string_view command, std::int32_t result, const std::string& note) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::system_clock::now();
  switch (format_) {
    case Format::Text:
      Line((command == "reopen" ? LocalTime(now) + "  " : std::string()) + std::string(command) +
           " " + port_ + "  [" + ResultText(result) + TextPort() + "]" +
           (note.empty() ? "" : "  " + note));
      return;
    case Format::Csv:
      CsvRow(now, command, "", nullptr, ResultText(result), std::nullopt, note);
      return;
    case Format::Json:
      Line("{\"time\":" + JsonString(IsoTime(now)) + ",\"command\":" + JsonString(command) +
           ",\"result\":" + JsonString(ResultText(result)) + JsonNote(note) + JsonPort() + "}");
      return;
  }
}

void Output::Summary(const PollSummary& s) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::system_clock::now();
  std::string counts =
      Printf("polls %" PRIu64 ": ok %" PRIu64 ", failed %" PRIu64 ", refused %" PRIu64, s.polls,
             s.ok, s.failed, s.refused);
  if (s.hangups > 0 || s.reopens > 0)
    counts += Printf("; hang-ups %" PRIu64 ", reopens %" PRIu64 " (%" PRIu64 " opened the port)",
                     s.hangups, s.reopens, s.reopened);
  if (const std::string line = s.line.Text(); !line.empty()) counts += "; " + line;
  const std::string latency = s.polls == 0
                                  ? std::string("no latency")
                                  : "latency min " + Millis(s.minMs) + " ms, median " +
                                        Millis(s.medianMs) + " ms, max " + Millis(s.maxMs) + " ms";
  switch (format_) {
    case Format::Text:
      Line(counts + "; " + latency + (s.note.empty() ? "" : "; " + s.note));
      return;
    case Format::Csv:
      CsvRow(now, "summary", std::to_string(s.polls), nullptr, ResultText(s.worst), std::nullopt,
             counts + "; " + latency + (s.note.empty() ? "" : "; " + s.note));
      return;
    case Format::Json: {
      std::string line =
          "{\"time\":" + JsonString(IsoTime(now)) +
          ",\"command\":\"summary\",\"result\":" + JsonString(ResultText(s.worst)) +
          ",\"polls\":" + std::to_string(s.polls) + ",\"ok\":" + std::to_string(s.ok) +
          ",\"failed\":" + std::to_string(s.failed) + ",\"refused\":" + std::to_string(s.refused) +
          ",\"hangups\":" + std::to_string(s.hangups) +
          ",\"reopens\":" + std::to_string(s.reopens) +
          ",\"reopened\":" + std::to_string(s.reopened);
      if (s.line.complete())
        line += ",\"transfers\":" + std::to_string(s.line.transfers) +
                ",\"attempts\":" + std::to_string(s.line.attempts) +
                ",\"retries\":" + std::to_string(s.line.retries);
      if (s.polls > 0)
        line += ",\"latencyMinMs\":" + Millis(s.minMs) +
                ",\"latencyMedianMs\":" + Millis(s.medianMs) +
                ",\"latencyMaxMs\":" + Millis(s.maxMs);
      Line(line + JsonNote(s.note) + JsonPort() + "}");
      return;
    }
  }
}

void Output::Message(int code, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  const auto now = std::chrono::system_clock::now();
  switch (format_) {
    case Format::Text:
      std::fprintf(stderr, "zelpoll: driver message %d: %s\n", code, text.c_str());
      return;
    case Format::Csv:
      CsvRow(now, "message", "", nullptr, std::to_string(code), std::nullopt, text);
      return;
    case Format::Json:
      Line("{\"time\":" + JsonString(IsoTime(now)) + ",\"command\":\"message\",\"code\":" +
           std::to_string(code) + ",\"message\":" + JsonString(text) + "}");
      return;
  }
}

void Output::Remark(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (format_ == Format::Text && !closed_) std::fprintf(stderr, "zelpoll: %s\n", text.c_str());
}

void Output::Warn(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!closed_) std::fprintf(stderr, "zelpoll: %s\n", text.c_str());
}

void Output::Command(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (format_ == Format::Text) Line("> " + line);
}

void Output::Comment(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (format_ == Format::Text) Line(line);
}

}  // namespace zelpoll
