// What `zelgw --check` says of a line's polling: its blocks and tags, the
// line time a cycle needs and the share of the line that is, and when that
// is more than the line has, how often the tags will really be read.
//
//   boiler: 3 blocks, 41 tags, 1.18 s of line time per 1000 ms cycle at 9600 8N1: 118 % of
//   the line — tags at 1000 ms will be read every 1.2 s
//
// With several intervals the cycle is the shortest one and each group counts
// with its share of it (CycleLineTime); an overloaded line reads every tag at
// the same multiple of its interval (FairSchedule), so each interval is named
// with its stretched period.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/line_time.h"

namespace zelgw::linetime {

struct LineCheck {
  std::string text;
  int percent = 0;  // of the line, rounded
  bool overloaded = false;
};

LineCheck CheckLine(std::string_view name, std::span<const IntervalGroup> groups,
                    const LineTiming& timing);

}  // namespace zelgw::linetime
