#include "core/line_check.h"

#include <cmath>
#include <cstdio>
#include <set>

namespace zelgw::linetime {

static std::string Counted(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

static std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

LineCheck CheckLine(std::string_view name, std::span<const IntervalGroup> groups,
                    const LineTiming& timing) {
  std::size_t blocks = 0;
  std::size_t tags = 0;
  std::set<int> intervals;
  for (const IntervalGroup& group : groups) {
    if (group.intervalMs <= 0) continue;
    blocks += group.blocks.size();
    tags += static_cast<std::size_t>(group.tags);
    intervals.insert(group.intervalMs);
  }
  const CycleTime cycle = CycleLineTime(groups, timing);

  LineCheck check;
  check.text = std::string(name) + ": " + Counted(blocks, "block", "blocks") + ", " +
               Counted(tags, "tag", "tags");
  if (intervals.empty()) {
    check.text += ", nothing to poll at " + std::to_string(timing.baud) + " " + FramingText(timing);
    return check;
  }
  check.percent = static_cast<int>(std::lround(cycle.load * 100));
  check.overloaded = cycle.load > 1;
  check.text += ", " + Fixed(cycle.lineMs / 1000, 2) + " s of line time per " +
                std::to_string(cycle.cycleMs) + " ms cycle at " + std::to_string(timing.baud) +
                " " + FramingText(timing) + ": " + std::to_string(check.percent) + " % of the line";
  if (check.overloaded) {
    bool first = true;
    for (const int interval : intervals) {
      check.text += first ? " — tags at " : ", tags at ";
      check.text += std::to_string(interval) + (first ? " ms will be read every " : " ms every ") +
                    Fixed(interval * cycle.load / 1000, 1) + " s";
      first = false;
    }
  }
  return check;
}

}  // namespace zelgw::linetime
