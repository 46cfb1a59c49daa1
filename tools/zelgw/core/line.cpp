#include "core/line.h"

#include <algorithm>
#include <map>

#include "core/log.h"
#include "driver_facts.h"

namespace zelgw {
namespace {

using namespace std::chrono_literals;
using Clock = Line::Clock;

thread_local const char* t_lineName = nullptr;
thread_local Line* t_line = nullptr;

std::vector<double> TransferBounds() {
  return {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
}
std::vector<double> LatenessBounds() { return {0.001, 0.005, 0.01, 0.05, 0.1, 0.5, 1, 5}; }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Variables due this soon are read with those due now, so that tags of
// slightly different phases share block reads.
Clock::duration Lookahead(int pollMs) {
  return std::chrono::milliseconds(std::min(pollMs / 10, 50));
}

std::string SecondsText(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", Seconds(d));
  return text;
}

}  // namespace

const char* CurrentLineName() { return t_lineName; }

bool NoteDriverMessage(const char* text) {
  return t_line != nullptr && text != nullptr && t_line->OnDriverMessage(text);
}

bool Line::OnDriverMessage(const char* text) {
  {
    std::lock_guard lock(mutex_);
    driverMessage_ = text;
  }
  // On the line's own thread, inside its call: lastOpenLog_ is its own.
  return lastOpenLog_ == "open failed: " + std::string(text);
}

Clock::duration Line::StaleAfter(int pollMs) { return std::chrono::milliseconds(2 * pollMs) + 1s; }

Line::Line(const PlantLine& setup, ZelMainFunction driver, TraceWatcher& trace, Gateway& gateway)
    : setup_(setup),
      driver_(driver),
      trace_(trace),
      gateway_(gateway),
      callBound_(CallBound(setup)) {
  health_.name = setup_.name;
  health_.port = setup_.port;
  health_.transferSeconds = Histogram(TransferBounds());
  health_.pollLateness = Histogram(LatenessBounds());
}

Line::~Line() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

void Line::Start() {
  thread_ = std::thread([this] {
    t_lineName = setup_.name.c_str();
    t_line = this;
    Run();
  });
}

void Line::RequestStop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
}

bool Line::WaitStopped(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (!finished_.wait_for(lock, wait, [this] { return done_; })) return false;
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  return true;
}

bool Line::Submit(Job&& job) {
  std::lock_guard lock(mutex_);
  if (queue_.size() >= kMaxQueued) return false;
  queue_.push_back(std::move(job));
  wake_.notify_all();
  return true;
}

void Line::ReplaceTags(std::vector<PlantTag> tags) {
  std::lock_guard lock(mutex_);
  if (!thread_.joinable()) {
    BuildVariables(std::move(tags));  // not started yet: at once
    return;
  }
  pendingTags_ = std::move(tags);
  tagsPending_ = true;
  wake_.notify_all();
}

void Line::BuildVariables(std::vector<PlantTag> tags) {
  const auto now = Clock::now();
  std::map<int, Variable> wanted;
  for (const PlantTag& tag : tags) {
    auto [it, added] = wanted.try_emplace(tag.variable);
    Variable& v = it->second;
    if (added) v.number = tag.variable;
    if (tag.pollMs > 0) v.pollMs = v.pollMs == 0 ? tag.pollMs : std::min(v.pollMs, tag.pollMs);
    v.writable = v.writable && tag.writable;
  }
  std::vector<Variable> next;
  next.reserve(wanted.size());
  for (auto& [number, v] : wanted) {
    v.due = now;
    if (const Variable* old = Find(number)) {
      // What was read stays; so does the phase of an unchanged interval.
      v.raw = old->raw;
      v.everRead = old->everRead;
      v.lastFailed = old->lastFailed;
      v.failure = old->failure;
      v.readAt = old->readAt;
      v.readAtWall = old->readAtWall;
      if (old->pollMs == v.pollMs) v.due = old->due;
    }
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
}

const Line::Variable* Line::Find(int number) const {
  const auto it = std::lower_bound(variables_.begin(), variables_.end(), number,
                                   [](const Variable& v, int n) { return v.number < n; });
  return it != variables_.end() && it->number == number ? &*it : nullptr;
}

Line::Variable* Line::Find(int number) {
  return const_cast<Variable*>(static_cast<const Line*>(this)->Find(number));
}

Quality Line::QualityOf(const Variable& v, Clock::time_point now) const {
  if (!v.everRead) return Quality::Bad;
  if (v.lastFailed) return Quality::Stale;
  if (v.pollMs > 0 && now - v.readAt > StaleAfter(v.pollMs)) return Quality::Stale;
  return Quality::Good;
}

TagState Line::StateOf(std::size_t index, Clock::time_point now,
                       std::chrono::system_clock::time_point wall) const {
  (void)wall;
  const PlantTag& tag = tags_[index];
  const Variable& v = variables_[tagVariable_[index]];
  TagState s;
  s.line = setup_.name;
  s.name = tag.name;
  s.unit = tag.unit;
  s.description = tag.description;
  s.variable = tag.variable;
  s.type = tag.type;
  s.writable = tag.writable;
  s.pollMs = tag.pollMs;
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

std::vector<TagState> Line::Tags() const {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  const auto wall = std::chrono::system_clock::now();
  std::vector<TagState> out;
  out.reserve(tags_.size());
  for (std::size_t i = 0; i < tags_.size(); ++i) out.push_back(StateOf(i, now, wall));
  return out;
}

std::optional<PlantTag> Line::PlantTagOf(std::string_view name) const {
  std::lock_guard lock(mutex_);
  for (const PlantTag& tag : tags_) {
    if (tag.name == name) return tag;
  }
  return std::nullopt;
}

LineHealth Line::Health() const {
  std::lock_guard lock(mutex_);
  LineHealth h = health_;
  h.queued = queue_.size();
  h.stopped = stoppedMirror_;
  if (h.state != LineState::Open)
    h.reopenInSeconds = std::max(0.0, Seconds(nextOpen_ - Clock::now()));
  return h;
}

bool Line::ReadCached(std::span<const int> variables, std::uint32_t* out) const {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  for (std::size_t i = 0; i < variables.size(); ++i) {
    const Variable* v = Find(variables[i]);
    if (v == nullptr || v->pollMs == 0 || QualityOf(*v, now) != Quality::Good) return false;
    out[i] = v->raw;
  }
  return true;
}

VariableAccess Line::Access(int variable) const {
  std::lock_guard lock(mutex_);
  const Variable* v = Find(variable);
  if (v == nullptr) return VariableAccess::Untagged;
  return v->writable ? VariableAccess::Writable : VariableAccess::ReadOnly;
}

Clock::duration Line::CallBound(const PlantLine& setup) {
  namespace facts = zeltools::driver_facts;
  const facts::Framing framing{setup.baud, setup.dataBits, setup.parity, setup.stopBits};
  return std::chrono::milliseconds(
             facts::AnyTransferBoundMs(facts::ReadTimeoutMs(setup.replyTimeoutMs), framing)) +
         kStuckMargin;
}

bool Line::Stuck() const {
  const std::int64_t since = callSince_.load();
  if (since == 0) return false;
  return Clock::now() - Clock::time_point(Clock::duration(since)) > callBound_;
}

bool Line::Stopped() const {
  std::lock_guard lock(mutex_);
  return stoppedMirror_;
}

void Line::OnAttempt(int number, bool ok, std::string_view key, std::string_view text) {
  (void)number;
  std::lock_guard lock(mutex_);
  if (ok) {
    ++health_.attemptsOk;
  } else {
    ++health_.attemptsFailed;
    ++health_.attemptFailures[std::string(key)];
    lastAttemptText_ = std::string(text);
  }
}

void Line::OnOpenFailure(std::string_view step, std::string_view text) {
  std::lock_guard lock(mutex_);
  ++health_.openFailures[std::string(step)];
  lastAttemptText_ = "open failed: " + std::string(text);
}

std::string Line::LastFailureText() const {
  std::lock_guard lock(mutex_);
  return lastAttemptText_.empty() ? std::string("no valid reply in five attempts")
                                  : lastAttemptText_;
}

void Line::SetFailure(const std::string& text) {
  std::lock_guard lock(mutex_);
  health_.lastFailure = text;
  health_.lastFailureAt = std::chrono::system_clock::now();
}

void Line::WaitUntil(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, deadline, [this] { return stopping_ || !queue_.empty() || tagsPending_; });
}

Clock::time_point Line::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const Variable& v : variables_) {
    if (v.pollMs > 0) next = std::min(next, v.due - Lookahead(v.pollMs));
  }
  return next;
}

void Line::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      if (tagsPending_) {
        BuildVariables(std::move(pendingTags_));
        tagsPending_ = false;
      }
    }
    PublishChanges();
    const auto now = Clock::now();
    if (!driver_.open()) {
      if (now >= nextOpen_) TryOpen();
      if (!driver_.open()) {
        ServeJobs();  // answered at once: the line is down
        PublishChanges();
        WaitUntil(std::min(nextOpen_, now + 1s));
        continue;
      }
    }
    if (ServeJobs()) continue;
    std::vector<Block> blocks;
    if (Stopped() || !PlanPolls(now, blocks)) {
      // Wake at least once a second, so that overdue values turn stale.
      WaitUntil(Stopped() ? now + 1s : std::min(NextDue(), now + 1s));
      continue;
    }
    for (const Block& block : blocks) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
      ServeJobs();  // writes and waiting clients go before polls
      if (!driver_.open() || Stopped()) break;
      Poll(block);
      PublishChanges();
    }
  }
  if (driver_.open()) driver_.Close();
  std::deque<Job> rest;
  {
    std::lock_guard lock(mutex_);
    rest.swap(queue_);
  }
  for (Job& job : rest) FailJob(job, "the gateway is stopping; not carried out");
  {
    std::lock_guard lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
}

void Line::TryOpen() {
  {
    std::lock_guard lock(mutex_);
    lastAttemptText_.clear();
    driverMessage_.clear();
  }
  const auto token = trace_.Begin(this, {'O', 0, 0, setup_.port});
  std::int32_t result;
  {
    InCall call(callSince_);
    result = driver_.Open(setup_);
  }
  trace_.End(token);
  const auto now = Clock::now();
  if (result == ResultOk) {
    bool stopped = false;
    if (desiredStop_)
      driver_.WriteStop(true);  // an open resumes traffic; the operator's $STOP stays
    driver_.ReadStop(&stopped);
    {
      std::lock_guard lock(mutex_);
      ++health_.opens;
      if (everOpened_) ++health_.reopens;
      health_.state = LineState::Open;
      stoppedMirror_ = stopped;
      // What went stale while the port was closed is read again at once.
      for (Variable& v : variables_) {
        if (v.pollMs > 0 && v.lastFailed) v.due = now;
      }
    }
    log::Info("line open", {{"line", setup_.name}, {"port", setup_.port}});
    everOpened_ = true;
    failuresInRow_ = 0;
    lastOpenLog_.clear();
    return;
  }
  std::string why;
  {
    std::lock_guard lock(mutex_);
    if (lastAttemptText_.empty()) {
      ++health_.openFailures["unknown"];
      lastAttemptText_ = driverMessage_.empty() ? "open failed" : "open failed: " + driverMessage_;
    }
    why = lastAttemptText_;
    nextOpen_ = now + pause_;
  }
  SetFailure(why);
  // The same failure again is logged at a lower level.
  log::Write(why == lastOpenLog_ ? log::Level::Debug : log::Level::Warning, "cannot open line",
             {{"line", setup_.name},
              {"port", setup_.port},
              {"reason", why},
              {"retry_in_s", SecondsText(pause_)}});
  lastOpenLog_ = why;
  pause_ =
      std::min<Clock::duration>(pause_ * 2, std::chrono::seconds(setup_.reopenPauseMaxSeconds));
}

void Line::CloseForReopen(const std::string& why) {
  driver_.Close();
  const auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    health_.state = LineState::Reopening;
    nextOpen_ = now + pause_;
    for (Variable& v : variables_) {
      v.lastFailed = true;
      v.failure = "line closed: " + why;
    }
  }
  log::Warning("line closed", {{"line", setup_.name},
                               {"port", setup_.port},
                               {"reason", why},
                               {"reopen_in_s", SecondsText(pause_)}});
  pause_ =
      std::min<Clock::duration>(pause_ * 2, std::chrono::seconds(setup_.reopenPauseMaxSeconds));
  failuresInRow_ = 0;
}

void Line::AfterFailure(std::int32_t result) {
  (void)result;
  const std::string why = LastFailureText();
  SetFailure(why);
  if (++failuresInRow_ >= setup_.reopenAfter) {
    CloseForReopen(std::to_string(failuresInRow_) + " transfers failed in a row, the last: " + why);
  }
}

void Line::CountTransfer(TransferKind kind, std::int32_t result, double seconds) {
  std::lock_guard lock(mutex_);
  if (result >= 0 && result <= 2) ++health_.transfers[static_cast<int>(kind)][result];
  health_.transferSeconds.Observe(seconds);
}

bool Line::ServeJobs() {
  std::deque<Job> jobs;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    jobs.swap(queue_);
  }
  // $STOP and writes first, in the order they came; then the reads, merged.
  // Once the gateway is stopping, what has not begun is dropped: answered
  // as not carried out.
  std::vector<Job*> reads;
  for (Job& job : jobs) {
    if (StopRequested()) {
      FailJob(job, "the gateway is stopping; not carried out");
      continue;
    }
    switch (job.kind) {
      case Job::Kind::Stop:
        DoStop(job);
        break;
      case Job::Kind::Write:
        DoWrite(job);
        break;
      case Job::Kind::Read:
        reads.push_back(&job);
        break;
    }
  }
  if (!reads.empty()) DoReads(reads);
  return true;
}

bool Line::StopRequested() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void Line::FailJob(Job& job, const std::string& reason) {
  // Reads find the line going down; writes and $STOP were not carried out.
  if (job.kind == Job::Kind::Read) {
    job.readDone(Status::LineDown, reason, {});
  } else {
    job.done(Status::Failed, reason);
  }
}

void Line::DoStop(Job& job) {
  desiredStop_ = job.stop;
  const std::int32_t result = driver_.WriteStop(job.stop);
  bool stopped = false;
  driver_.ReadStop(&stopped);
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    changed = stoppedMirror_ != stopped;
    stoppedMirror_ = stopped;
  }
  if (changed) {
    log::Info(stopped ? "traffic suspended ($STOP)" : "traffic resumed ($STOP)",
              {{"line", setup_.name}});
  }
  job.done(result == ResultOk ? Status::Ok : Status::Failed,
           result == ResultOk ? "" : "the driver did not take $STOP");
}

void Line::DoWrite(Job& job) {
  for (const auto& [variable, value] : job.writes) {
    if (!driver_.open()) {
      job.done(Status::LineDown, "line closed");
      return;
    }
    {
      std::lock_guard lock(mutex_);
      lastAttemptText_.clear();
    }
    const auto start = Clock::now();
    const auto token = trace_.Begin(this, {'W', variable, 1, {}});
    std::int32_t result;
    {
      InCall call(callSince_);
      result = driver_.Write(variable, value);
    }
    trace_.End(token, result != ResultRefused);
    const auto end = Clock::now();
    CountTransfer(TransferKind::Write, result, Seconds(end - start));
    if (result == ResultOk) {
      failuresInRow_ = 0;
      pause_ = 1s;
      std::lock_guard lock(mutex_);
      if (Variable* v = Find(variable)) {
        // The remote computer took the value: it holds it now.
        v->raw = value;
        v->everRead = true;
        v->lastFailed = false;
        v->readAt = end;
        v->readAtWall = std::chrono::system_clock::now();
      }
      continue;
    }
    if (result == ResultRefused) {
      {
        std::lock_guard lock(mutex_);
        stoppedMirror_ = true;
      }
      job.done(Status::Suspended, "traffic suspended ($STOP)");
      return;
    }
    const std::string why = LastFailureText();
    AfterFailure(result);
    job.done(Status::Failed, why);
    return;
  }
  job.done(Status::Ok, "");
}

std::int32_t Line::Read(const Block& block, std::uint32_t* values) {
  {
    std::lock_guard lock(mutex_);
    lastAttemptText_.clear();
  }
  const auto start = Clock::now();
  const auto token = trace_.Begin(this, {'R', block.first, block.count, {}});
  std::int32_t result;
  {
    InCall call(callSince_);
    result = driver_.ReadBlock(block.first, block.count, values);
  }
  trace_.End(token, result != ResultRefused);
  const auto end = Clock::now();
  CountTransfer(TransferKind::Read, result, Seconds(end - start));
  if (result == ResultOk) {
    failuresInRow_ = 0;
    pause_ = 1s;
    const auto wall = std::chrono::system_clock::now();
    std::lock_guard lock(mutex_);
    auto it = std::lower_bound(variables_.begin(), variables_.end(), block.first,
                               [](const Variable& v, int n) { return v.number < n; });
    for (; it != variables_.end() && it->number < block.end(); ++it) {
      it->raw = values[it->number - block.first];
      it->everRead = true;
      it->lastFailed = false;
      it->failure.clear();
      it->readAt = end;
      it->readAtWall = wall;
    }
    return result;
  }
  if (result == ResultRefused) {
    std::lock_guard lock(mutex_);
    stoppedMirror_ = true;
    return result;
  }
  const std::string why = LastFailureText();
  {
    std::lock_guard lock(mutex_);
    auto it = std::lower_bound(variables_.begin(), variables_.end(), block.first,
                               [](const Variable& v, int n) { return v.number < n; });
    for (; it != variables_.end() && it->number < block.end(); ++it) {
      it->lastFailed = true;
      it->failure = why;
    }
  }
  AfterFailure(result);
  return result;
}

void Line::DoReads(std::vector<Job*>& reads) {
  std::vector<int> wanted;
  for (const Job* job : reads)
    wanted.insert(wanted.end(), job->variables.begin(), job->variables.end());
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  const std::vector<Block> blocks = MergeBlocks(wanted, setup_.maxGap);

  struct Outcome {
    Status status = Status::Ok;
    std::string reason;
  };
  std::vector<Outcome> outcomes(blocks.size());
  std::vector<std::uint32_t> got(wanted.size());
  std::size_t next = 0;  // index into wanted
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const Block& block = blocks[b];
    if (!driver_.open()) {
      outcomes[b] = {Status::LineDown, "line closed"};
    } else {
      const std::int32_t result = Read(block, values_.data());
      if (result == ResultOk) {
        for (std::size_t i = next; i < wanted.size() && wanted[i] < block.end(); ++i)
          got[i] = values_[static_cast<std::size_t>(wanted[i] - block.first)];
      } else if (result == ResultRefused) {
        outcomes[b] = {Status::Suspended, "traffic suspended ($STOP)"};
      } else {
        outcomes[b] = {Status::Failed, LastFailureText()};
      }
    }
    while (next < wanted.size() && wanted[next] < block.end()) ++next;
  }

  for (Job* job : reads) {
    std::vector<std::uint32_t> values;
    values.reserve(job->variables.size());
    const Outcome* failed = nullptr;
    for (const int variable : job->variables) {
      const std::size_t i = static_cast<std::size_t>(
          std::lower_bound(wanted.begin(), wanted.end(), variable) - wanted.begin());
      const std::size_t b = static_cast<std::size_t>(
          std::upper_bound(blocks.begin(), blocks.end(), variable,
                           [](int v, const Block& bl) { return v < bl.first; }) -
          blocks.begin() - 1);
      if (outcomes[b].status != Status::Ok) {
        failed = &outcomes[b];
        break;
      }
      values.push_back(got[i]);
    }
    if (failed != nullptr) {
      job->readDone(failed->status, failed->reason, {});
    } else {
      job->readDone(Status::Ok, "", values);
    }
  }
}

bool Line::PlanPolls(Clock::time_point now, std::vector<Block>& blocks) {
  std::vector<int> due;
  for (const Variable& v : variables_) {
    if (v.pollMs > 0 && v.due <= now + Lookahead(v.pollMs)) due.push_back(v.number);
  }
  if (due.empty()) return false;
  blocks = MergeBlocks(due, setup_.maxGap);
  return true;
}

void Line::Poll(const Block& block) {
  const auto start = Clock::now();
  Clock::time_point earliest = Clock::time_point::max();
  for (const Variable& v : variables_) {
    if (v.number >= block.first && v.number < block.end() && v.pollMs > 0 &&
        v.due <= start + Lookahead(v.pollMs))
      earliest = std::min(earliest, v.due);
  }
  if (earliest != Clock::time_point::max()) {
    std::lock_guard lock(mutex_);
    health_.pollLateness.Observe(std::max(0.0, Seconds(start - earliest)));
  }
  Read(block, values_.data());
  Reschedule(block, Clock::now());
}

void Line::Reschedule(const Block& block, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  for (Variable& v : variables_) {
    if (v.number < block.first || v.number >= block.end() || v.pollMs == 0) continue;
    if (v.due > now + Lookahead(v.pollMs)) continue;
    // Next due on the variable's own grid, so that neighbours stay together.
    const Clock::duration interval = std::chrono::milliseconds(v.pollMs);
    Clock::time_point next = v.due + interval;
    if (next <= now) {
      const auto missed = (now - v.due) / interval;
      health_.pollOverruns += static_cast<std::uint64_t>(missed);
      next = v.due + (missed + 1) * interval;
    }
    v.due = next;
  }
}

void Line::PublishChanges() {
  std::vector<TagState> changes;
  {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    const auto wall = std::chrono::system_clock::now();
    for (std::size_t i = 0; i < tags_.size(); ++i) {
      const Variable& v = variables_[tagVariable_[i]];
      const Quality q = QualityOf(v, now);
      Reported& r = reported_[i];
      if (v.everRead == r.everRead && v.raw == r.raw && q == r.quality) continue;
      r = {v.raw, q, v.everRead};
      changes.push_back(StateOf(i, now, wall));
    }
  }
  if (!changes.empty()) gateway_.Publish(changes);
}

}  // namespace zelgw
