#include "core/value_cache.h"

#include <algorithm>
#include <map>

namespace zelgw {
namespace {

using namespace std::chrono_literals;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

const char* QualityName(Quality quality) {
  switch (quality) {
    case Quality::Bad:
      return "bad";
    case Quality::Stale:
      return "stale";
    case Quality::Good:
      return "good";
  }
  return "bad";
}

ValueCache::ValueCache(std::string line) : line_(std::move(line)) {}

ValueCache::Clock::duration ValueCache::StaleAfter(int pollMs) {
  return std::chrono::milliseconds(2 * pollMs) + 1s;
}

std::vector<ValueCache::Polled> ValueCache::Replace(std::vector<PlantTag> tags) {
  std::lock_guard lock(mutex_);
  std::map<int, Variable> wanted;
  std::map<int, int> polledTags;
  for (const PlantTag& tag : tags) {
    auto [it, added] = wanted.try_emplace(tag.variable);
    Variable& v = it->second;
    if (added) v.number = tag.variable;
    if (tag.pollMs > 0) ++polledTags[tag.variable];
    if (tag.pollMs > 0) v.pollMs = v.pollMs == 0 ? tag.pollMs : std::min(v.pollMs, tag.pollMs);
    v.writable = v.writable && tag.writable;
  }
  std::vector<Variable> next;
  next.reserve(wanted.size());
  std::vector<Polled> polled;
  for (auto& [number, v] : wanted) {
    if (const Variable* old = Find(number)) {
      // What was read stays.
      v.raw = old->raw;
      v.everRead = old->everRead;
      v.lastFailed = old->lastFailed;
      v.failure = old->failure;
      v.readAt = old->readAt;
      v.readAtWall = old->readAtWall;
      if (old->pollMs == v.pollMs) v.periodMs = old->periodMs;
    }
    if (v.pollMs > 0) polled.push_back({v.number, v.pollMs, polledTags[v.number]});
    next.push_back(std::move(v));
  }
  variables_ = std::move(next);
  tags_ = std::move(tags);
  tagVariable_.clear();
  for (const PlantTag& tag : tags_) {
    const auto it =
        std::lower_bound(variables_.begin(), variables_.end(), tag.variable,
                         [](const Variable& v, int number) { return v.number < number; });
    tagVariable_.push_back(static_cast<std::size_t>(it - variables_.begin()));
  }
  reported_.assign(tags_.size(), Reported{});
  return polled;
}

const ValueCache::Variable* ValueCache::Find(int number) const {
  const auto it = std::lower_bound(variables_.begin(), variables_.end(), number,
                                   [](const Variable& v, int n) { return v.number < n; });
  return it != variables_.end() && it->number == number ? &*it : nullptr;
}

ValueCache::Variable* ValueCache::Find(int number) {
  return const_cast<Variable*>(static_cast<const ValueCache*>(this)->Find(number));
}

Quality ValueCache::QualityOf(const Variable& v, Clock::time_point now) const {
  if (!v.everRead) return Quality::Bad;
  if (v.lastFailed) return Quality::Stale;
  if (v.pollMs > 0 && now - v.readAt > StaleAfter(v.pollMs)) return Quality::Stale;
  return Quality::Good;
}

TagState ValueCache::StateOf(std::size_t index, Clock::time_point now) const {
  const PlantTag& tag = tags_[index];
  const Variable& v = variables_[tagVariable_[index]];
  TagState s;
  s.line = line_;
  s.name = tag.name;
  s.unit = tag.unit;
  s.description = tag.description;
  s.variable = tag.variable;
  s.type = tag.type;
  s.writable = tag.writable;
  s.pollMs = tag.pollMs;
  s.periodMs = v.periodMs;
  s.raw = v.raw;
  s.quality = QualityOf(v, now);
  if (v.everRead) {
    s.value = zeltools::TagValue(tag, v.raw);
    s.timestamp = v.readAtWall;
    s.ageSeconds = Seconds(now - v.readAt);
  }
  if (s.quality != Quality::Good) {
    if (v.lastFailed) {
      s.reason = v.failure;
    } else {
      s.reason = v.everRead ? "overdue" : "not read yet";
    }
  }
  return s;
}

std::vector<TagState> ValueCache::Tags() const {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  std::vector<TagState> out;
  out.reserve(tags_.size());
  for (std::size_t i = 0; i < tags_.size(); ++i) out.push_back(StateOf(i, now));
  return out;
}

std::optional<PlantTag> ValueCache::PlantTagOf(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const PlantTag& tag : tags_) {
    if (tag.name == name) return tag;
  }
  return std::nullopt;
}

bool ValueCache::ReadCached(std::span<const int> variables, std::uint32_t* out) const {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  for (std::size_t i = 0; i < variables.size(); ++i) {
    const Variable* v = Find(variables[i]);
    if (v == nullptr || v->pollMs == 0 || QualityOf(*v, now) != Quality::Good) return false;
    out[i] = v->raw;
  }
  return true;
}

VariableAccess ValueCache::Access(int variable) const {
  std::lock_guard lock(mutex_);
  const Variable* v = Find(variable);
  if (v == nullptr) return VariableAccess::Untagged;
  return v->writable ? VariableAccess::Writable : VariableAccess::ReadOnly;
}

void ValueCache::StoreRead(int first, int count, const std::uint32_t* values,
                           Clock::time_point at) {
  const auto wall = std::chrono::system_clock::now();
  std::lock_guard lock(mutex_);
  auto it = std::lower_bound(variables_.begin(), variables_.end(), first,
                             [](const Variable& v, int n) { return v.number < n; });
  for (; it != variables_.end() && it->number < first + count; ++it) {
    it->raw = values[it->number - first];
    it->everRead = true;
    it->lastFailed = false;
    it->failure.clear();
    it->readAt = at;
    it->readAtWall = wall;
  }
}

void ValueCache::StoreWrite(int variable, std::uint32_t value, Clock::time_point at) {
  const auto wall = std::chrono::system_clock::now();
  std::lock_guard lock(mutex_);
  if (Variable* v = Find(variable)) {
    // The remote computer took the value: it holds it now.
    v->raw = value;
    v->everRead = true;
    v->lastFailed = false;
    v->readAt = at;
    v->readAtWall = wall;
  }
}

void ValueCache::StorePeriod(int first, int count, int pollMs, double periodMs) {
  std::lock_guard lock(mutex_);
  auto it = std::lower_bound(variables_.begin(), variables_.end(), first,
                             [](const Variable& v, int n) { return v.number < n; });
  for (; it != variables_.end() && it->number < first + count; ++it) {
    if (it->pollMs == pollMs) it->periodMs = periodMs;
  }
}

void ValueCache::MarkFailed(int first, int count, const std::string& why) {
  std::lock_guard lock(mutex_);
  auto it = std::lower_bound(variables_.begin(), variables_.end(), first,
                             [](const Variable& v, int n) { return v.number < n; });
  for (; it != variables_.end() && it->number < first + count; ++it) {
    it->lastFailed = true;
    it->failure = why;
  }
}

void ValueCache::MarkAll(const std::string& why) {
  std::lock_guard lock(mutex_);
  for (Variable& v : variables_) {
    v.lastFailed = true;
    v.failure = why;
  }
}

std::vector<TagState> ValueCache::Changes() {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  std::vector<TagState> changes;
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    const Variable& v = variables_[tagVariable_[i]];
    const Quality q = QualityOf(v, now);
    Reported& r = reported_[i];
    if (v.everRead == r.everRead && v.raw == r.raw && q == r.quality) continue;
    r = {v.raw, q, v.everRead};
    changes.push_back(StateOf(i, now));
  }
  return changes;
}

}  // namespace zelgw
