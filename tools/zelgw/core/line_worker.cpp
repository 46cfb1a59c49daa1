#include "core/line_worker.h"

#include <algorithm>

#include "core/log.h"
#include "driver_facts.h"

namespace zelgw {
namespace {

using namespace std::chrono_literals;
using Clock = LineWorker::Clock;

thread_local const char* t_lineName = nullptr;
thread_local LineWorker* t_line = nullptr;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string SecondsText(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", Seconds(d));
  return text;
}

zeltools::PortSettings PortOf(const PlantLine& line) {
  zeltools::PortSettings port;
  port.name = line.port;
  port.replyTimeoutMs = line.replyTimeoutMs;
  port.baudRate = static_cast<std::uint16_t>(line.baud);
  port.dataBits = static_cast<std::uint8_t>(line.dataBits);
  port.stopBits = static_cast<std::uint8_t>(line.stopBits);
  port.parity = static_cast<std::uint8_t>(line.parity);
  return port;
}

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::Suspended:
      return "suspended";
    case Status::Failed:
      return "failed";
    case Status::LineDown:
      return "line_down";
    case Status::Busy:
      return "busy";
    case Status::Rejected:
      return "rejected";
  }
  return "failed";
}

const char* CurrentLineName() { return t_lineName; }

bool NoteDriverMessage(const char* text) {
  return t_line != nullptr && text != nullptr && t_line->OnDriverMessage(text);
}

bool LineWorker::OnDriverMessage(const char* text) {
  // On the line's own thread, inside its call.
  driverMessage_ = text;
  return lastOpenLog_ == "open failed: " + std::string(text);
}

LineWorker::LineWorker(const PlantLine& setup, ZelMainFunction driver, Publish publish)
    : setup_(setup),
      session_(driver),
      publish_(std::move(publish)),
      callBound_(CallBound(setup)),
      cache_(setup.name),
      health_(setup.name, setup.port),
      schedule_(LineTimingOf(setup), setup.maxGap) {}

LineWorker::~LineWorker() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
  zeltools::Outcomes::Instance().Unsubscribe(session_.instance());
}

void LineWorker::Start() {
  zeltools::Outcomes::Instance().Subscribe(
      session_.instance(), [this](const zeltools::Outcome& outcome) { OnOutcome(outcome); });
  thread_ = std::thread([this] {
    t_lineName = setup_.name.c_str();
    t_line = this;
    Run();
  });
}

void LineWorker::RequestStop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
}

bool LineWorker::WaitStopped(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  if (!finished_.wait_for(lock, wait, [this] { return done_; })) return false;
  lock.unlock();
  if (thread_.joinable()) thread_.join();
  return true;
}

bool LineWorker::Submit(Job&& job) {
  std::lock_guard lock(mutex_);
  if (queue_.size() >= kMaxQueued) return false;
  queue_.push_back(std::move(job));
  wake_.notify_all();
  return true;
}

void LineWorker::ReplaceTags(std::vector<PlantTag> tags) {
  // The cache at once, so that the front ends go by the new tags as soon as
  // this returns; the polls when the line's thread comes to them.
  std::vector<ValueCache::Polled> polled = cache_.Replace(std::move(tags));
  std::lock_guard lock(mutex_);
  if (!thread_.joinable()) {
    schedule_.Replace(std::move(polled), Clock::now());  // not started: at once
    NotePlan();
    return;
  }
  pendingPolled_ = std::move(polled);
  tagsPending_ = true;
  wake_.notify_all();
}

LineHealth LineWorker::Health() const {
  LineHealth h = health_.Snapshot();
  h.stopped = stopped_.load();
  std::lock_guard lock(mutex_);
  h.queued = queue_.size();
  return h;
}

Clock::duration LineWorker::CallBound(const PlantLine& setup) {
  namespace facts = zeltools::driver_facts;
  const facts::Framing framing{setup.baud, setup.dataBits, setup.parity, setup.stopBits};
  return std::chrono::milliseconds(
             facts::AnyTransferBoundMs(facts::ReadTimeoutMs(setup.replyTimeoutMs), framing)) +
         kStuckMargin;
}

bool LineWorker::Stuck() const {
  const std::int64_t since = callSince_.load();
  if (since == 0) return false;
  return Clock::now() - Clock::time_point(Clock::duration(since)) > callBound_;
}

void LineWorker::OnOutcome(const zeltools::Outcome& o) {
  if (o.kind == ZELQD_OUTCOME_OPEN) {
    if (o.ok()) return;
    openRecorded_ = true;
    health_.Update(
        [&](LineHealth& h) { ++h.openFailures[std::string(zeltools::OpenStepName(o.openStep))]; });
    lastAttemptText_ = zeltools::ReasonText(o);
    return;
  }
  if (o.ok()) {
    // The turnaround is taken from the end of the attempt: the first-byte
    // stamp is when the driver's first read returned, which on a port that
    // delivers the whole reply at once is its end. From sending to the end,
    // less the request's and the whole reply's wire time.
    const bool timed = o.endedNs > o.sentNs && !o.request.empty() && o.replyReceived > 0;
    if (timed) {
      const int frames = static_cast<int>(o.request.size()) + o.replyReceived;
      turnaround_.Add(
          linetime::TurnaroundSampleMs(o.sentNs, o.endedNs, frames - 1, schedule_.timing()));
    }
    health_.Update([&](LineHealth& h) {
      ++h.attemptsOk;
      if (!timed) return;
      h.turnaroundMs = turnaround_.ms();
      h.turnaround = turnaround_.histogram();
    });
    return;
  }
  health_.Update([&](LineHealth& h) {
    ++h.attemptsFailed;
    ++h.attemptFailures[std::string(zeltools::ReasonKey(o))];
  });
  lastAttemptText_ = "failed: " + zeltools::ReasonText(o);
}

std::string LineWorker::LastFailureText() const {
  return lastAttemptText_.empty() ? std::string("no valid reply in five attempts")
                                  : lastAttemptText_;
}

void LineWorker::SetFailure(const std::string& text) {
  health_.Update([&](LineHealth& h) {
    h.lastFailure = text;
    h.lastFailureAt = std::chrono::system_clock::now();
  });
}

void LineWorker::WaitUntil(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  wake_.wait_until(lock, deadline, [this] { return stopping_ || !queue_.empty() || tagsPending_; });
}

void LineWorker::PublishChanges() {
  const std::vector<TagState> changes = cache_.Changes();
  if (!changes.empty() && publish_) publish_(changes);
}

bool LineWorker::StopRequested() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void LineWorker::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      if (tagsPending_) {
        schedule_.Replace(std::move(pendingPolled_), Clock::now());
        tagsPending_ = false;
        NotePlan();
      }
    }
    PublishChanges();
    const auto now = Clock::now();
    if (!session_.open()) {
      if (now >= nextOpen_) TryOpen();
      if (!session_.open()) {
        ServeJobs();  // answered at once: the line is down
        PublishChanges();
        WaitUntil(std::min(nextOpen_, now + 1s));
        continue;
      }
    }
    // Writes and waiting clients go before polls: one poll, then the queue again.
    if (ServeJobs()) continue;
    const int entry = Stopped() ? -1 : schedule_.Next(now);
    if (entry < 0) {
      // Wake at least once a second, so that overdue values turn stale.
      WaitUntil(Stopped() ? now + 1s : std::min(schedule_.NextDue(), now + 1s));
      continue;
    }
    Poll(entry);
    ReplanIfMoved();
  }
  if (session_.open()) session_.Close();
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

void LineWorker::TryOpen() {
  lastAttemptText_.clear();
  driverMessage_.clear();
  openRecorded_ = false;
  std::int32_t result;
  {
    InCall call(callSince_);
    result = session_.Open(PortOf(setup_));
  }
  const auto now = Clock::now();
  if (result == ResultOk) {
    bool stopped = false;
    if (desiredStop_)
      session_.WriteStop(true);  // an open resumes traffic; the operator's $STOP stays
    session_.ReadStop(&stopped);
    stopped_ = stopped;
    const bool again = everOpened_;
    health_.Update([again](LineHealth& h) {
      ++h.opens;
      if (again) ++h.reopens;
      h.state = LineState::Open;
    });
    // What went stale while the port was closed is read again at once.
    schedule_.Restart(now);
    log::Info("line open", {{"line", setup_.name}, {"port", setup_.port}});
    everOpened_ = true;
    failuresInRow_ = 0;
    lastOpenLog_.clear();
    return;
  }
  if (!openRecorded_) {
    health_.Update([](LineHealth& h) { ++h.openFailures["unknown"]; });
    lastAttemptText_ = driverMessage_.empty() ? "open failed" : "open failed: " + driverMessage_;
  }
  const std::string why = lastAttemptText_;
  nextOpen_ = now + pause_;
  health_.SetReopenAt(nextOpen_);
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

void LineWorker::CloseForReopen(const std::string& why) {
  session_.Close();
  nextOpen_ = Clock::now() + pause_;
  health_.SetReopenAt(nextOpen_);
  health_.Update([](LineHealth& h) { h.state = LineState::Reopening; });
  cache_.MarkAll("line closed: " + why);
  log::Warning("line closed", {{"line", setup_.name},
                               {"port", setup_.port},
                               {"reason", why},
                               {"reopen_in_s", SecondsText(pause_)}});
  pause_ =
      std::min<Clock::duration>(pause_ * 2, std::chrono::seconds(setup_.reopenPauseMaxSeconds));
  failuresInRow_ = 0;
}

void LineWorker::AfterFailure() {
  const std::string why = LastFailureText();
  SetFailure(why);
  if (++failuresInRow_ >= setup_.reopenAfter) {
    CloseForReopen(std::to_string(failuresInRow_) + " transfers failed in a row, the last: " + why);
  }
}

void LineWorker::CountTransfer(TransferKind kind, std::int32_t result, Clock::duration took) {
  health_.AddBusy(Clock::now(), took);
  health_.Update([&](LineHealth& h) {
    if (result >= 0 && result <= 2) ++h.transfers[static_cast<int>(kind)][result];
    h.transferSeconds.Observe(Seconds(took));
  });
}

bool LineWorker::ServeJobs() {
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

void LineWorker::FailJob(Job& job, const std::string& reason) {
  // Reads find the line going down; writes and $STOP were not carried out.
  if (job.kind == Job::Kind::Read) {
    job.readDone(Status::LineDown, reason, {});
  } else {
    job.done(Status::Failed, reason);
  }
}

void LineWorker::DoStop(Job& job) {
  desiredStop_ = job.stop;
  const std::int32_t result = session_.WriteStop(job.stop);
  bool stopped = false;
  session_.ReadStop(&stopped);
  const bool changed = stopped_.exchange(stopped) != stopped;
  if (changed) {
    log::Info(stopped ? "traffic suspended ($STOP)" : "traffic resumed ($STOP)",
              {{"line", setup_.name}});
  }
  job.done(result == ResultOk ? Status::Ok : Status::Failed,
           result == ResultOk ? "" : "the driver did not take $STOP");
}

void LineWorker::DoWrite(Job& job) {
  for (const auto& [variable, value] : job.writes) {
    if (!session_.open()) {
      job.done(Status::LineDown, "line closed");
      return;
    }
    lastAttemptText_.clear();
    const auto start = Clock::now();
    std::int32_t result;
    {
      InCall call(callSince_);
      result = session_.WriteVar(variable, value);
    }
    const auto end = Clock::now();
    CountTransfer(TransferKind::Write, result, end - start);
    if (result == ResultOk) {
      failuresInRow_ = 0;
      pause_ = 1s;
      cache_.StoreWrite(variable, value, end);
      continue;
    }
    if (result == ResultRefused) {
      stopped_ = true;
      job.done(Status::Suspended, "traffic suspended ($STOP)");
      return;
    }
    const std::string why = LastFailureText();
    AfterFailure();
    job.done(Status::Failed, why);
    return;
  }
  job.done(Status::Ok, "");
}

std::int32_t LineWorker::Read(const Block& block, std::uint32_t* values) {
  lastAttemptText_.clear();
  const auto start = Clock::now();
  std::int32_t result;
  {
    InCall call(callSince_);
    result = session_.ReadBlock(block.first, block.count, values);
  }
  const auto end = Clock::now();
  CountTransfer(TransferKind::Read, result, end - start);
  if (result == ResultOk) {
    failuresInRow_ = 0;
    pause_ = 1s;
    cache_.StoreRead(block.first, block.count, values, end);
    return result;
  }
  if (result == ResultRefused) {
    stopped_ = true;
    return result;
  }
  cache_.MarkFailed(block.first, block.count, LastFailureText());
  AfterFailure();
  return result;
}

void LineWorker::DoReads(std::vector<Job*>& reads) {
  std::vector<int> wanted;
  for (const Job* job : reads)
    wanted.insert(wanted.end(), job->variables.begin(), job->variables.end());
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  const std::vector<Block> blocks =
      linetime::PlanCheapest(wanted, schedule_.timing(), setup_.maxGap);

  struct Answer {
    Status status = Status::Ok;
    std::string reason;
  };
  std::vector<Answer> answers(blocks.size());
  std::vector<std::uint32_t> got(wanted.size());
  std::size_t next = 0;  // index into wanted
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const Block& block = blocks[b];
    if (!session_.open()) {
      answers[b] = {Status::LineDown, "line closed"};
    } else {
      const std::int32_t result = Read(block, values_.data());
      if (result == ResultOk) {
        for (std::size_t i = next; i < wanted.size() && wanted[i] < block.end(); ++i)
          got[i] = values_[static_cast<std::size_t>(wanted[i] - block.first)];
      } else if (result == ResultRefused) {
        answers[b] = {Status::Suspended, "traffic suspended ($STOP)"};
      } else {
        answers[b] = {Status::Failed, LastFailureText()};
      }
    }
    while (next < wanted.size() && wanted[next] < block.end()) ++next;
  }

  for (Job* job : reads) {
    std::vector<std::uint32_t> values;
    values.reserve(job->variables.size());
    const Answer* failed = nullptr;
    for (const int variable : job->variables) {
      const std::size_t i = static_cast<std::size_t>(
          std::lower_bound(wanted.begin(), wanted.end(), variable) - wanted.begin());
      const std::size_t b = static_cast<std::size_t>(
          std::upper_bound(blocks.begin(), blocks.end(), variable,
                           [](int v, const Block& bl) { return v < bl.first; }) -
          blocks.begin() - 1);
      if (answers[b].status != Status::Ok) {
        failed = &answers[b];
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

void LineWorker::Poll(int entry) {
  const Block block = schedule_.entry(entry).block;
  const int intervalMs = schedule_.entry(entry).intervalMs;
  const auto start = Clock::now();
  const auto late = std::max(Clock::duration::zero(), start - schedule_.DueAt(entry));
  const auto missed = static_cast<std::uint64_t>(late / std::chrono::milliseconds(intervalMs));
  health_.Update([&](LineHealth& h) {
    h.pollLateness.Observe(Seconds(late));
    h.pollOverruns += missed;
  });
  Read(block, values_.data());
  schedule_.Done(entry, start);
  const PollSchedule::Entry& done = schedule_.entry(entry);
  if (done.reads >= 2) cache_.StorePeriod(block.first, block.count, intervalMs, done.averageMs);
}

void LineWorker::ReplanIfMoved() {
  if (turnaround_.samples() == 0) return;
  const double measured = turnaround_.ms();
  if (!linetime::NeedsReplan(schedule_.timing().turnaroundMs, measured)) return;
  schedule_.Replan(measured, Clock::now());
  NotePlan();
}

void LineWorker::NotePlan() {
  const linetime::CycleTime cycle = schedule_.Cycle();
  const std::size_t blocks = schedule_.blocks();
  health_.Update([&](LineHealth& h) {
    h.lineTimeMs = cycle.lineMs;
    h.cycleMs = cycle.cycleMs;
    h.blocks = blocks;
  });
}

}  // namespace zelgw
