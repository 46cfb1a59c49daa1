#include "core/line_time.h"

#include <algorithm>

#include "driver_facts.h"

namespace zelgw::linetime {

namespace facts = zeltools::driver_facts;

double CharacterMs(const LineTiming& timing) {
  const double bits =
      static_cast<double>(facts::CharacterBits(timing.dataBits, timing.parity, timing.stopBits));
  return bits * 1000.0 / static_cast<double>(std::max(timing.baud, 1));
}

static double TransferMs(const LineTiming& timing, int characters) {
  return characters * CharacterMs(timing) + timing.turnaroundMs + timing.overheadMs;
}

double ReadTransferMs(const LineTiming& timing, int count) {
  return TransferMs(timing, facts::kReadRequestSize + facts::ReadReplySize(count));
}

double WriteTransferMs(const LineTiming& timing, bool shortReply) {
  return TransferMs(timing, facts::kWriteRequestSize +
                                (shortReply ? facts::kOkWriteReplySize : facts::kWriteReplySize));
}

std::string FramingText(const LineTiming& timing) {
  static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  std::string text = std::to_string(timing.dataBits);
  text += timing.parity >= 0 && timing.parity < 5 ? kParity[timing.parity] : '?';
  text += timing.stopBits == 0 ? "1" : timing.stopBits == 1 ? "1.5" : "2";
  return text;
}

CycleTime CycleLineTime(std::span<const IntervalGroup> plan, const LineTiming& timing) {
  CycleTime cycle;
  for (const IntervalGroup& group : plan) {
    if (group.intervalMs <= 0) continue;
    GroupTime time{group.intervalMs, 0};
    for (const Block& block : group.blocks) time.lineMs += ReadTransferMs(timing, block.count);
    cycle.groups.push_back(time);
    cycle.cycleMs =
        cycle.cycleMs == 0 ? group.intervalMs : std::min(cycle.cycleMs, group.intervalMs);
  }
  for (const GroupTime& group : cycle.groups)
    cycle.lineMs += group.lineMs * cycle.cycleMs / group.intervalMs;
  if (cycle.cycleMs > 0) cycle.load = cycle.lineMs / cycle.cycleMs;
  return cycle;
}

}  // namespace zelgw::linetime
