#include "observe.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace zelgw {
namespace {

const char* const kResults[3] = {"ok", "refused", "failed"};
const char* const kKinds[2] = {"read", "write"};

// A label value: backslash, quote and newline escaped.
std::string Label(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // The shortest of 15 or 17 digits that reads back as the same number.
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  if (std::strtod(text, nullptr) != value) std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

class Writer {
 public:
  void Family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // labels: pairs of name and value, already chosen.
  void Sample(const std::string& name,
              std::initializer_list<std::pair<const char*, std::string>> labels, double value) {
    out_ += name;
    if (labels.size() > 0) {
      out_ += '{';
      bool first = true;
      for (const auto& [key, v] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += key;
        out_ += "=\"";
        out_ += Label(v);
        out_ += '"';
      }
      out_ += '}';
    }
    out_ += ' ';
    out_ += Number(value);
    out_ += '\n';
  }
  void Histogram(const std::string& name, const std::string& line, const zelgw::Histogram& h) {
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < h.bounds.size(); ++i) {
      cumulative += h.counts[i];
      Sample(name + "_bucket", {{"line", line}, {"le", Number(h.bounds[i])}},
             static_cast<double>(cumulative));
    }
    Sample(name + "_bucket", {{"line", line}, {"le", "+Inf"}}, static_cast<double>(h.count));
    Sample(name + "_sum", {{"line", line}}, h.sum);
    Sample(name + "_count", {{"line", line}}, static_cast<double>(h.count));
  }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

std::string Hex(int code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", code);
  return text;
}

}  // namespace

std::string FunctionName(int code) {
  switch (code) {
    case 1:
      return "read_coils";
    case 2:
      return "read_discrete_inputs";
    case 3:
      return "read_holding_registers";
    case 4:
      return "read_input_registers";
    case 5:
      return "write_single_coil";
    case 6:
      return "write_single_register";
    case 15:
      return "write_multiple_coils";
    case 16:
      return "write_multiple_registers";
    default:
      return Hex(code);
  }
}

std::string RenderMetrics(const Gateway& gateway, const Config& config,
                          const ModbusCounters& modbus, const ServiceInfo& info) {
  (void)config;
  Writer w;
  const auto lines = gateway.Lines();
  const auto tags = gateway.Tags();
  using std::chrono::duration;
  using std::chrono::system_clock;

  w.Family("zelgw_info", "gauge", "The gateway's name and version.");
  w.Sample("zelgw_info", {{"name", info.name}, {"version", info.version}}, 1);
  w.Family("zelgw_start_time_seconds", "gauge", "When the gateway started, in seconds since 1970.");
  w.Sample("zelgw_start_time_seconds", {},
           duration<double>(info.started.time_since_epoch()).count());

  w.Family("zelgw_line_up", "gauge", "1 while the line's port is open, 0 while it is not.");
  for (const auto& l : lines)
    w.Sample("zelgw_line_up", {{"line", l.name}}, l.state == LineState::Open);
  w.Family("zelgw_line_stopped", "gauge", "1 while the line's traffic is suspended by $STOP.");
  for (const auto& l : lines) w.Sample("zelgw_line_stopped", {{"line", l.name}}, l.stopped);
  w.Family("zelgw_line_transfers_total", "counter",
           "Transfers (ReadBlock, WriteVar) by kind and driver result.");
  for (const auto& l : lines) {
    for (int k = 0; k < 2; ++k) {
      for (int r = 0; r < 3; ++r) {
        w.Sample("zelgw_line_transfers_total",
                 {{"line", l.name}, {"kind", kKinds[k]}, {"result", kResults[r]}},
                 static_cast<double>(l.transfers[k][r]));
      }
    }
  }
  w.Family("zelgw_line_attempts_total", "counter",
           "Attempts the driver made (from its outcome records), by result.");
  for (const auto& l : lines) {
    w.Sample("zelgw_line_attempts_total", {{"line", l.name}, {"result", "ok"}},
             static_cast<double>(l.attemptsOk));
    w.Sample("zelgw_line_attempts_total", {{"line", l.name}, {"result", "failed"}},
             static_cast<double>(l.attemptsFailed));
  }
  w.Family("zelgw_line_attempt_failures_total", "counter",
           "Failed attempts by the reason in the driver's outcome records.");
  for (const auto& l : lines) {
    for (const auto& [reason, n] : l.attemptFailures)
      w.Sample("zelgw_line_attempt_failures_total", {{"line", l.name}, {"reason", reason}},
               static_cast<double>(n));
  }
  w.Family("zelgw_line_open_failures_total", "counter",
           "Failed opens of the port by the step that failed (from the driver's outcome records).");
  for (const auto& l : lines) {
    for (const auto& [step, n] : l.openFailures)
      w.Sample("zelgw_line_open_failures_total", {{"line", l.name}, {"step", step}},
               static_cast<double>(n));
  }
  w.Family("zelgw_line_opens_total", "counter", "Successful opens of the line's port.");
  for (const auto& l : lines)
    w.Sample("zelgw_line_opens_total", {{"line", l.name}}, static_cast<double>(l.opens));
  w.Family("zelgw_line_reopens_total", "counter",
           "Opens after the first: recoveries from a hang-up or a run of failed transfers.");
  for (const auto& l : lines)
    w.Sample("zelgw_line_reopens_total", {{"line", l.name}}, static_cast<double>(l.reopens));
  w.Family("zelgw_line_poll_overruns_total", "counter", "Poll cycles missed entirely.");
  for (const auto& l : lines)
    w.Sample("zelgw_line_poll_overruns_total", {{"line", l.name}},
             static_cast<double>(l.pollOverruns));
  w.Family("zelgw_line_queued_requests", "gauge", "Requests waiting for the line.");
  for (const auto& l : lines)
    w.Sample("zelgw_line_queued_requests", {{"line", l.name}}, static_cast<double>(l.queued));
  w.Family("zelgw_line_transfer_duration_seconds", "histogram",
           "Duration of each transfer, all attempts included.");
  for (const auto& l : lines)
    w.Histogram("zelgw_line_transfer_duration_seconds", l.name, l.transferSeconds);
  w.Family("zelgw_line_poll_lateness_seconds", "histogram",
           "How long after it was due each poll started.");
  for (const auto& l : lines)
    w.Histogram("zelgw_line_poll_lateness_seconds", l.name, l.pollLateness);

  w.Family("zelgw_line_turnaround_seconds", "histogram",
           "The remote's turnaround measured on each successful attempt: from the end of the "
           "request on the wire to the first reply byte.");
  for (const auto& l : lines) {
    const auto& h = l.turnaround;
    using linetime::TurnaroundHistogram;
    for (std::size_t i = 0; i + 1 < TurnaroundHistogram::kBuckets; ++i)
      w.Sample("zelgw_line_turnaround_seconds_bucket",
               {{"line", l.name}, {"le", Number(TurnaroundHistogram::kBoundsMs[i] / 1000)}},
               static_cast<double>(h.CumulativeCount(i)));
    w.Sample("zelgw_line_turnaround_seconds_bucket", {{"line", l.name}, {"le", "+Inf"}},
             static_cast<double>(h.count()));
    w.Sample("zelgw_line_turnaround_seconds_sum", {{"line", l.name}}, h.sumMs() / 1000);
    w.Sample("zelgw_line_turnaround_seconds_count", {{"line", l.name}},
             static_cast<double>(h.count()));
  }
  w.Family("zelgw_line_utilisation", "gauge",
           "Share of the last 10 s the line was busy with transfers, 0 to 1.");
  for (const auto& l : lines) w.Sample("zelgw_line_utilisation", {{"line", l.name}}, l.utilisation);

  w.Family("zelgw_tag_value", "gauge", "The tag's value in its units (raw * scale + offset).");
  for (const auto& t : tags) {
    if (t.ageSeconds >= 0)
      w.Sample("zelgw_tag_value", {{"line", t.line}, {"tag", t.name}}, t.value);
  }
  w.Family("zelgw_tag_quality", "gauge", "The tag's quality: 2 good, 1 stale, 0 bad (never read).");
  for (const auto& t : tags)
    w.Sample("zelgw_tag_quality", {{"line", t.line}, {"tag", t.name}},
             static_cast<double>(t.quality));
  w.Family("zelgw_tag_age_seconds", "gauge", "Seconds since the tag's value was read.");
  for (const auto& t : tags) {
    if (t.ageSeconds >= 0)
      w.Sample("zelgw_tag_age_seconds", {{"line", t.line}, {"tag", t.name}}, t.ageSeconds);
  }

  w.Family("zelgw_modbus_requests_total", "counter", "Modbus requests by function.");
  for (const auto& [code, n] : modbus.requests)
    w.Sample("zelgw_modbus_requests_total", {{"function", FunctionName(code)}},
             static_cast<double>(n));
  w.Family("zelgw_modbus_exceptions_total", "counter",
           "Modbus exception replies by function and exception code.");
  for (const auto& [key, n] : modbus.exceptions)
    w.Sample("zelgw_modbus_exceptions_total",
             {{"function", FunctionName(key.first)}, {"code", Hex(key.second)}},
             static_cast<double>(n));
  w.Family("zelgw_modbus_clients", "gauge", "Modbus TCP clients connected.");
  w.Sample("zelgw_modbus_clients", {}, static_cast<double>(modbus.clients));
  w.Family("zelgw_modbus_connections_total", "counter",
           "Modbus TCP connections: accepted, closed at once beyond the most clients (refused) "
           "or from outside the allow-list (denied).");
  w.Sample("zelgw_modbus_connections_total", {{"result", "accepted"}},
           static_cast<double>(modbus.accepted));
  w.Sample("zelgw_modbus_connections_total", {{"result", "refused"}},
           static_cast<double>(modbus.refused));
  w.Sample("zelgw_modbus_connections_total", {{"result", "denied"}},
           static_cast<double>(modbus.denied));
  w.Family("zelgw_modbus_disconnects_total", "counter", "Modbus TCP clients dropped, by reason.");
  for (const auto& [reason, n] : modbus.disconnects)
    w.Sample("zelgw_modbus_disconnects_total", {{"reason", reason}}, static_cast<double>(n));
  return w.Take();
}

std::string RenderStatus(const Gateway& gateway, const Config& config, const ModbusCounters& modbus,
                         const ServiceInfo& info) {
  using nlohmann::json;
  using std::chrono::duration;
  const auto now = std::chrono::system_clock::now();
  json out;
  out["gateway"] = {
      {"name", info.name},
      {"version", info.version},
      {"started", IsoTime(info.started)},
      {"uptime_s", duration<double>(now - info.started).count()},
      {"modbus_port", info.modbusPort},
      {"http_port", info.httpPort},
      {"time", IsoTime(now)},
  };
  std::uint64_t requests = 0, exceptions = 0;
  for (const auto& [code, n] : modbus.requests) requests += n;
  for (const auto& [key, n] : modbus.exceptions) exceptions += n;
  out["modbus"] = {{"clients", modbus.clients},
                   {"requests", requests},
                   {"exceptions", exceptions},
                   {"refused_connections", modbus.refused}};
  json lines = json::array();
  const auto health = gateway.Lines();
  for (std::size_t i = 0; i < health.size(); ++i) {
    const LineHealth& l = health[i];
    json line = {{"name", l.name},
                 {"unit_id", i < config.modbus.size() ? config.modbus[i].unitId : 0}};
    line.update(LineHealthJson(l));
    line["transfer_ms_mean"] =
        l.transferSeconds.count
            ? 1000 * l.transferSeconds.sum / static_cast<double>(l.transferSeconds.count)
            : 0.0;
    lines.push_back(std::move(line));
  }
  out["lines"] = std::move(lines);
  json tags = json::array();
  for (const TagState& t : gateway.Tags()) {
    json tag = {
        {"name", t.name},
        {"line", t.line},
        {"variable", t.variable},
        {"unit", t.unit},
        {"description", t.description},
        {"type", zeltools::ValueTypeName(t.type)},
        {"writable", t.writable},
        {"poll_ms", t.pollMs},
        {"period_ms", t.periodMs > 0 ? json(t.periodMs) : json(nullptr)},
        {"quality", QualityName(t.quality)},
    };
    if (t.ageSeconds >= 0) {
      tag["value"] = t.value;
      tag["raw"] = t.raw;
      tag["timestamp"] = IsoTime(t.timestamp);
      tag["age_s"] = t.ageSeconds;
    } else {
      tag["value"] = nullptr;
      tag["raw"] = nullptr;
      tag["timestamp"] = nullptr;
      tag["age_s"] = nullptr;
    }
    if (!t.reason.empty()) tag["reason"] = t.reason;
    tags.push_back(std::move(tag));
  }
  out["tags"] = std::move(tags);
  return out.dump(1);
}

}  // namespace zelgw
