#include "core/gateway.h"

#include <algorithm>
#include <mutex>

namespace zelgw {

Gateway::Gateway(const PlantFile& plant, ZelMainFunction driver) {
  for (const PlantLine& setup : plant.lines) {
    lines_.push_back(std::make_unique<LineWorker>(
        setup, driver, [this](const std::vector<TagState>& changes) { Publish(changes); }));
  }
  ReplaceTags(plant);
}

Gateway::~Gateway() {
  for (auto& line : lines_) line->RequestStop();
  lines_.clear();
}

void Gateway::Start() {
  for (auto& line : lines_) line->Start();
}

void Gateway::RequestStop() {
  for (auto& line : lines_) line->RequestStop();
}

bool Gateway::Stop(std::chrono::milliseconds wait) {
  RequestStop();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool all = true;
  for (auto& line : lines_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    all = line->WaitStopped(std::max(left, std::chrono::milliseconds(0))) && all;
  }
  return all;
}

std::size_t Gateway::LineCount() const { return lines_.size(); }

int Gateway::LineIndex(std::string_view name) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i]->setup().name == name) return static_cast<int>(i);
  }
  return -1;
}

std::vector<LineHealth> Gateway::Lines() const {
  std::vector<LineHealth> out;
  for (const auto& line : lines_) out.push_back(line->Health());
  return out;
}

std::vector<TagState> Gateway::Tags() const {
  std::vector<TagState> out;
  for (const auto& line : lines_) {
    auto tags = line->cache().Tags();
    std::move(tags.begin(), tags.end(), std::back_inserter(out));
  }
  return out;
}

std::optional<TagState> Gateway::Tag(std::string_view name) const {
  for (const auto& line : lines_) {
    for (TagState& tag : line->cache().Tags()) {
      if (tag.name == name) return std::move(tag);
    }
  }
  return std::nullopt;
}

int Gateway::Subscribe(Listener listener) {
  std::unique_lock lock(listenersMutex_);
  listeners_.emplace_back(nextListener_, std::move(listener));
  return nextListener_++;
}

void Gateway::Unsubscribe(int id) {
  std::unique_lock lock(listenersMutex_);
  std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void Gateway::Publish(const std::vector<TagState>& changes) {
  std::shared_lock lock(listenersMutex_);
  for (const auto& [id, listener] : listeners_) {
    for (const TagState& change : changes) listener(change);
  }
}

void Gateway::WriteTag(std::string_view name, double value, const Done& done) {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const auto tag = lines_[i]->cache().PlantTagOf(name);
    if (!tag) continue;
    if (!tag->writable) return done(Status::Rejected, "tag " + tag->name + " is not writable");
    const auto raw = zeltools::TagRaw(*tag, value);
    if (!raw) return done(Status::Rejected, "value out of range for tag " + tag->name);
    return WriteVariables(static_cast<int>(i), {{tag->variable, *raw}}, done);
  }
  done(Status::Rejected, "no tag " + std::string(name));
}

void Gateway::WriteVariables(int line, std::vector<std::pair<int, std::uint32_t>> writes,
                             const Done& done) {
  if (line < 0 || static_cast<std::size_t>(line) >= lines_.size())
    return done(Status::Rejected, "no such line");
  for (const auto& [variable, value] : writes) {
    if (variable < 0 || variable > 99999) return done(Status::Rejected, "no such variable");
  }
  Job job;
  job.kind = Job::Kind::Write;
  job.writes = std::move(writes);
  job.done = done;
  if (!lines_[static_cast<std::size_t>(line)]->Submit(std::move(job)))
    done(Status::Busy, "too many requests waiting for the line");
}

void Gateway::ReadVariables(int line, std::vector<int> variables, const ReadDone& done) {
  if (line < 0 || static_cast<std::size_t>(line) >= lines_.size())
    return done(Status::Rejected, "no such line", {});
  for (const int variable : variables) {
    if (variable < 0 || variable > 99999) return done(Status::Rejected, "no such variable", {});
  }
  Job job;
  job.kind = Job::Kind::Read;
  job.variables = std::move(variables);
  job.readDone = done;
  if (!lines_[static_cast<std::size_t>(line)]->Submit(std::move(job)))
    done(Status::Busy, "too many requests waiting for the line", {});
}

void Gateway::SetStop(int line, bool stop, const Done& done) {
  if (line < 0 || static_cast<std::size_t>(line) >= lines_.size())
    return done(Status::Rejected, "no such line");
  Job job;
  job.kind = Job::Kind::Stop;
  job.stop = stop;
  job.done = done;
  if (!lines_[static_cast<std::size_t>(line)]->Submit(std::move(job)))
    done(Status::Busy, "too many requests waiting for the line");
}

bool Gateway::Stopped(int line) const {
  return lines_.at(static_cast<std::size_t>(line))->Stopped();
}

bool Gateway::ReadCached(int line, std::span<const int> variables, std::uint32_t* out) const {
  return lines_.at(static_cast<std::size_t>(line))->cache().ReadCached(variables, out);
}

VariableAccess Gateway::Access(int line, int variable) const {
  return lines_.at(static_cast<std::size_t>(line))->cache().Access(variable);
}

void Gateway::ReplaceTags(const PlantFile& plant) {
  for (auto& line : lines_) {
    std::vector<PlantTag> tags;
    for (const PlantTag& tag : plant.tags) {
      if (tag.line == line->setup().name) tags.push_back(tag);
    }
    line->ReplaceTags(std::move(tags));
  }
}

std::string Gateway::StuckLine() const {
  for (const auto& line : lines_) {
    if (line->Stuck()) return line->setup().name;
  }
  return {};
}

}  // namespace zelgw
