// The values of a line's tags: the last raw value of each variable that a
// tag names, when it was read, whether the last read failed and why; the
// quality of each tag from that. Shared between the line's thread, which
// stores what transfers bring, and the front ends, which read.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plant.h"

namespace zelgw {

using zeltools::PlantFile;
using zeltools::PlantLine;
using zeltools::PlantTag;

enum class Quality : std::uint8_t { Bad = 0, Stale = 1, Good = 2 };
const char* QualityName(Quality quality);  // "bad", "stale", "good"

// A tag as the cache holds it.
struct TagState {
  std::string line;
  std::string name;
  std::string unit;
  std::string description;
  int variable = 0;
  zeltools::ValueType type = zeltools::ValueType::Int32;
  bool writable = false;
  int pollMs = 0;       // 0: not polled
  double periodMs = 0;  // how often its variable is really read; 0 before two polls
  std::uint32_t raw = 0;
  double value = 0;  // raw * scale + offset
  Quality quality = Quality::Bad;
  std::chrono::system_clock::time_point timestamp{};  // when the value was read; epoch: never
  double ageSeconds = -1;                             // since then; negative: never read
  std::string reason;                                 // why not good, when it is not
};

enum class VariableAccess : std::uint8_t { Untagged, ReadOnly, Writable };

class ValueCache {
 public:
  using Clock = std::chrono::steady_clock;
  // A polled variable and its interval: the shortest of its tags'.
  struct Polled {
    int variable = 0;
    int pollMs = 0;
    int tags = 0;  // the polled tags on it
  };

  explicit ValueCache(std::string line);

  // New tags: what was read of the variables that stay is kept. The polled
  // variables, by number.
  std::vector<Polled> Replace(std::vector<PlantTag> tags);

  std::vector<TagState> Tags() const;
  std::optional<PlantTag> PlantTagOf(std::string_view name) const;
  // The raw values of the variables when each is polled and good.
  bool ReadCached(std::span<const int> variables, std::uint32_t* out) const;
  VariableAccess Access(int variable) const;

  // A successful block read (values[i] is variable first + i), or write.
  void StoreRead(int first, int count, const std::uint32_t* values, Clock::time_point at);
  void StoreWrite(int variable, std::uint32_t value, Clock::time_point at);
  // The polled variables of interval pollMs from first on to first + count
  // are really read every periodMs.
  void StorePeriod(int first, int count, int pollMs, double periodMs);
  // The variables from first on to first + count could not be read: why.
  void MarkFailed(int first, int count, const std::string& why);
  // Every variable, when the line closes.
  void MarkAll(const std::string& why);

  // The tags whose raw value or quality changed (or that got their first
  // value) since the last call.
  std::vector<TagState> Changes();

  // A value is overdue this long after it was read.
  static Clock::duration StaleAfter(int pollMs);

 private:
  struct Variable {
    int number = 0;
    int pollMs = 0;        // the shortest interval of its tags; 0: not polled
    bool writable = true;  // every tag on it is writable
    std::uint32_t raw = 0;
    bool everRead = false;
    bool lastFailed = false;
    std::string failure;  // why the last read failed, or the line closed
    Clock::time_point readAt{};
    std::chrono::system_clock::time_point readAtWall{};
    double periodMs = 0;
  };
  // What the listeners last heard of a tag.
  struct Reported {
    std::uint32_t raw = 0;
    Quality quality = Quality::Bad;
    bool everRead = false;
  };

  const Variable* Find(int number) const;
  Variable* Find(int number);
  Quality QualityOf(const Variable& v, Clock::time_point now) const;
  TagState StateOf(std::size_t tag, Clock::time_point now) const;

  const std::string line_;
  mutable std::mutex mutex_;
  std::vector<Variable> variables_;  // sorted by number
  std::vector<PlantTag> tags_;
  std::vector<std::size_t> tagVariable_;  // index into variables_, one per tag
  std::vector<Reported> reported_;        // one per tag
};

}  // namespace zelgw
