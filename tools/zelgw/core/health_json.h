// A line's health as JSON: the one object that /status lists for each line
// and MQTT publishes on the line's health topic.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

#include "core/line_health.h"
#include "core/log.h"

namespace zelgw {

// state, stopped, port, transfers, attempts, attempt_failures (by reason
// key), open_failures (by step), opens, reopens, poll_overruns, queued,
// reopen_in_s (while not open), last_failure (reason and time, or null),
// turnaround_ms (the measured figure, null before a sample), utilisation
// (0..1, over the last 10 s), line_time_ms, cycle_ms and blocks (the poll
// plan's).
nlohmann::json LineHealthJson(const LineHealth& line);

}  // namespace zelgw
