// What the line's time goes on: the cost of one transfer from the line's rate
// and framing, the remote's turnaround and the driver's own overhead, and the
// line time one poll cycle of a plan needs.
//
// A character takes a start bit, the data bits, a parity bit unless none and
// one stop bit (two for one and a half or two). A read of n values is a
// request of 14 characters and a reply of 8 n + 4; a write is a request of 19
// and a reply of 9 (6 for the short one). Between the end of the request on
// the wire and the first reply byte the remote takes its turnaround.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace zelgw::linetime {

struct LineTiming {
  int baud = 9600;
  int dataBits = 8;
  int parity = 0;           // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 0;         // 0 one, 1 one and a half, 2 two
  double turnaroundMs = 0;  // the remote's, per transfer
  double overheadMs = 0;    // the driver's own, per transfer
};

// count values from first on, in one block read.
struct Block {
  int first = 0;
  int count = 0;

  int end() const { return first + count; }
  bool operator==(const Block&) const = default;
};

// The blocks that one interval group reads each interval, and how many tags
// they serve.
struct IntervalGroup {
  int intervalMs = 1000;
  int tags = 0;
  std::vector<Block> blocks;
};

// Milliseconds one character takes on the wire (not rounded).
double CharacterMs(const LineTiming& timing);
// Milliseconds of line time one transfer takes: both frames on the wire, the
// turnaround and the overhead.
double ReadTransferMs(const LineTiming& timing, int count);
double WriteTransferMs(const LineTiming& timing, bool shortReply = false);
// "8N1", "7E1", "8N2", "8O1.5".
std::string FramingText(const LineTiming& timing);

struct GroupTime {
  int intervalMs = 0;
  double lineMs = 0;  // the group's blocks, read once
};

// One poll cycle. With several interval groups the cycle is the shortest
// interval; a group of a longer interval counts with its share of it (a
// group at 5000 ms costs a fifth of its line time in a 1000 ms cycle), so
// lineMs / cycleMs is the share of the line that polling needs.
struct CycleTime {
  std::vector<GroupTime> groups;
  int cycleMs = 0;
  double lineMs = 0;
  double load = 0;  // lineMs / cycleMs; above 1 the line cannot keep up
};

// Groups of an interval of 0 or less are not polled and left out.
CycleTime CycleLineTime(std::span<const IntervalGroup> plan, const LineTiming& timing);

}  // namespace zelgw::linetime
