#include "mqtt/mqtt_bridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/log.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_payload.h"

namespace zelgw {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kTick = 250ms;  // timers are looked at this often
constexpr int kSetQos = 2;     // set messages: delivered once

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", v);
  return text;
}

}  // namespace

// What the other threads hand to the connection's thread.
struct MqttBridge::Inbox {
  struct Answer {
    std::string topic;
    std::string payload;
    int qos = 0;
    MqttMessage request;  // for its correlation data
    std::string line, tag, value;
    Status status = Status::Ok;
    std::string reason;
  };

  std::mutex mutex;
  std::unordered_map<std::string, TagState> changes;  // by tag name: the latest
  std::vector<Answer> answers;
  std::optional<MqttSetup> reload;
  bool stop = false;
  std::chrono::milliseconds leaveWithin{1000};
  int fd = -1;  // eventfd that wakes the thread

  Inbox() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (fd < 0) throw std::runtime_error("eventfd failed");
  }
  ~Inbox() { ::close(fd); }

  void Wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(fd, &one, sizeof one);
  }
  void Change(const TagState& tag) {
    bool wake;
    {
      std::lock_guard lock(mutex);
      wake = changes.empty();
      changes.insert_or_assign(tag.name, tag);
    }
    if (wake) Wake();
  }
  void Post(Answer&& answer) {
    {
      std::lock_guard lock(mutex);
      answers.push_back(std::move(answer));
    }
    Wake();
  }
};

// The connection's thread and everything only it touches.
class MqttBridge::Session {
 public:
  Session(Gateway& gateway, const MqttSetup& config, std::string version,
          std::shared_ptr<Inbox> inbox);

  void Run();

 private:
  enum class Link { Down, Connecting, Subscribing, Online };

  struct Record {
    std::string line;
    MqttTagOptions options;
    mqtt::Published last;
    Clock::time_point publishedAt{};
  };
  struct LineRecord {
    std::string name;
    bool published = false;
    bool stopped = false;
    LineState state = LineState::Opening;
    Clock::time_point healthAt{};
    Clock::time_point stopAt{};
  };

  void Apply(const MqttSetup& config);
  void TryConnect();
  void OnConnected();
  void OnLost(const std::string& why);
  void OnSubscribed(int mid, const std::vector<int>& granted);
  void OnMessage(const MqttMessage& message);
  void OnPublished(int mid);
  void GoOnline();
  bool Drain(Clock::time_point now);
  void PublishTag(const TagState& state, Clock::time_point now);
  void PublishDue(Clock::time_point now);
  void PublishLines(Clock::time_point now, bool all);
  void PublishDiscovery(const std::vector<zeltools::PlantTag>& gone);
  void PublishAnswer(Inbox::Answer& answer);
  void Leave(Clock::time_point deadline);
  std::size_t Backlog() const;

  Gateway& gateway_;
  const std::string version_;
  std::shared_ptr<Inbox> inbox_;
  MqttSettings settings_;
  std::string gatewayName_;
  mqtt::Topics topics_;
  std::vector<zeltools::PlantTag> tags_;  // for discovery
  std::unique_ptr<MqttClient> client_;

  Link link_ = Link::Down;
  bool leaving_ = false;
  Clock::time_point nextConnect_{};
  Clock::duration pause_ = 1s;
  std::string lastFailure_;
  int subscribeMid_ = -1;
  std::uint64_t connections_ = 0;
  std::size_t unacknowledged_ = 0;  // publishes not yet written (QoS 0) or acknowledged
  std::unordered_map<std::string, Record> records_;  // by tag name
  std::vector<LineRecord> lines_;
  Clock::time_point nextTick_{};
};

MqttBridge::Session::Session(Gateway& gateway, const MqttSetup& config, std::string version,
                             std::shared_ptr<Inbox> inbox)
    : gateway_(gateway),
      version_(std::move(version)),
      inbox_(std::move(inbox)),
      settings_(config.mqtt),
      gatewayName_(config.gatewayName),
      topics_{config.mqtt.prefix} {
  for (const zeltools::PlantLine& line : config.plant.lines) {
    lines_.push_back({line.name});
  }
  Apply(config);
  MqttClient::Handlers handlers;
  handlers.connected = [this] { OnConnected(); };
  handlers.lost = [this](const std::string& why) { OnLost(why); };
  handlers.subscribed = [this](int mid, const std::vector<int>& granted) {
    OnSubscribed(mid, granted);
  };
  handlers.message = [this](const MqttMessage& m) { OnMessage(m); };
  handlers.published = [this](int mid) { OnPublished(mid); };
  client_ = std::make_unique<MqttClient>(settings_, topics_.Status(gatewayName_), handlers);
}

// The tags and their options; the connection's settings stay as they are.
void MqttBridge::Session::Apply(const MqttSetup& config) {
  const std::vector<zeltools::PlantTag> before = std::move(tags_);
  settings_.defaults = config.mqtt.defaults;
  settings_.tags = config.mqtt.tags;
  tags_ = config.plant.tags;
  std::unordered_map<std::string, Record> next;
  for (const zeltools::PlantTag& tag : tags_) {
    Record& r = next[tag.name];
    if (auto it = records_.find(tag.name); it != records_.end() && it->second.line == tag.line)
      r = it->second;
    r.line = tag.line;
    r.options = settings_.For(tag.name);
  }
  std::vector<zeltools::PlantTag> gone;
  for (const zeltools::PlantTag& tag : before) {
    if (next.count(tag.name) == 0 || next[tag.name].line != tag.line) gone.push_back(tag);
  }
  records_ = std::move(next);
  if (link_ != Link::Online) return;
  // Tags that are gone leave no retained value behind; new ones are
  // published as the lines report them.
  for (const zeltools::PlantTag& tag : gone)
    client_->Publish(topics_.Value(tag.line, tag.name), "", 1, true);
  PublishDiscovery(gone);
}

void MqttBridge::Session::TryConnect() {
  std::string why;
  if (client_->Connect(why)) {
    link_ = Link::Connecting;
    return;
  }
  OnLost(why);
}

void MqttBridge::Session::OnConnected() {
  link_ = Link::Subscribing;
  std::vector<std::string> filters;
  for (const LineRecord& line : lines_) filters.push_back(topics_.SetFilter(line.name));
  subscribeMid_ = client_->Subscribe(filters, kSetQos);
  if (subscribeMid_ < 0) GoOnline();  // values still go out; writes cannot come in
}

void MqttBridge::Session::OnSubscribed(int mid, const std::vector<int>& granted) {
  if (mid != subscribeMid_ || link_ != Link::Subscribing) return;
  for (std::size_t i = 0; i < granted.size() && i < lines_.size(); ++i) {
    if (granted[i] >= 0x80) {
      log::Warning(
          "mqtt: the broker refused the subscription; writes cannot come in",
          {{"filter", topics_.SetFilter(lines_[i].name)}, {"reason", std::to_string(granted[i])}});
    }
  }
  GoOnline();
}

void MqttBridge::Session::OnLost(const std::string& why) {
  const Link was = link_;
  link_ = Link::Down;
  unacknowledged_ = 0;
  if (leaving_) return;
  const auto now = Clock::now();
  nextConnect_ = now + pause_;
  char pause[16];
  std::snprintf(pause, sizeof pause, "%.0f", std::chrono::duration<double>(pause_).count());
  if (was == Link::Online) {
    log::Warning("mqtt connection lost",
                 {{"broker", settings_.host + ":" + std::to_string(settings_.port)},
                  {"reason", why},
                  {"retry_in_s", pause}});
  } else {
    // The same failure again is logged at a lower level.
    log::Write(why == lastFailure_ ? log::Level::Debug : log::Level::Warning, "mqtt cannot connect",
               {{"broker", settings_.host + ":" + std::to_string(settings_.port)},
                {"reason", why},
                {"retry_in_s", pause}});
  }
  lastFailure_ = why;
  pause_ = std::min<Clock::duration>(pause_ * 2,
                                     std::chrono::seconds(settings_.reconnectPauseMaxSeconds));
}

void MqttBridge::Session::GoOnline() {
  link_ = Link::Online;
  pause_ = 1s;
  lastFailure_.clear();
  ++connections_;
  log::Info("mqtt online", {{"broker", settings_.host + ":" + std::to_string(settings_.port)},
                            {"client_id", settings_.clientId},
                            {"connections", std::to_string(connections_)}});
  client_->Publish(topics_.Status(gatewayName_), "online", 1, true);
  PublishDiscovery({});
  // Everything as it is now: what changed while the broker was away, and
  // whatever the broker may have lost.
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->changes.clear();
  }
  const auto now = Clock::now();
  for (const TagState& state : gateway_.Tags()) PublishTag(state, now);
  PublishLines(now, true);
}

void MqttBridge::Session::PublishDiscovery(const std::vector<zeltools::PlantTag>& gone) {
  if (!settings_.discovery) return;
  for (const zeltools::PlantTag& tag : gone) {
    client_->Publish(mqtt::TagDiscovery(tag, settings_, gatewayName_, version_).topic, "", 1, true);
  }
  for (const zeltools::PlantTag& tag : tags_) {
    const auto d = mqtt::TagDiscovery(tag, settings_, gatewayName_, version_);
    client_->Publish(d.topic, d.payload, 1, true);
  }
  for (const LineRecord& line : lines_) {
    const auto d = mqtt::StopDiscovery(line.name, settings_, gatewayName_, version_);
    client_->Publish(d.topic, d.payload, 1, true);
  }
}

void MqttBridge::Session::PublishTag(const TagState& state, Clock::time_point now) {
  auto it = records_.find(state.name);
  if (it == records_.end()) return;  // gone with a reload
  Record& r = it->second;
  if (client_->Publish(topics_.Value(state.line, state.name), mqtt::ValuePayload(state),
                       r.options.qos, true) >= 0)
    ++unacknowledged_;
  r.last = mqtt::Remember(state);
  r.publishedAt = now;
}

// Tags whose interval has run out since they were last published.
void MqttBridge::Session::PublishDue(Clock::time_point now) {
  bool any = false;
  for (const auto& [name, r] : records_) {
    const int interval = r.options.publishIntervalSeconds;
    if (interval > 0 && now - r.publishedAt >= std::chrono::seconds(interval)) {
      any = true;
      break;
    }
  }
  if (!any) return;
  for (const TagState& state : gateway_.Tags()) {
    const auto it = records_.find(state.name);
    if (it == records_.end()) continue;
    const int interval = it->second.options.publishIntervalSeconds;
    if (interval > 0 && now - it->second.publishedAt >= std::chrono::seconds(interval))
      PublishTag(state, now);
  }
}

// Health every health interval and at once when a line's state changes;
// $STOP when it changes and at the values' interval.
void MqttBridge::Session::PublishLines(Clock::time_point now, bool all) {
  const auto health = gateway_.Lines();
  const auto wall = std::chrono::system_clock::now();
  const auto every = std::chrono::seconds(settings_.healthIntervalSeconds);
  const int stopInterval = settings_.defaults.publishIntervalSeconds;
  for (std::size_t i = 0; i < lines_.size() && i < health.size(); ++i) {
    LineRecord& l = lines_[i];
    const LineHealth& h = health[i];
    if (all || !l.published || h.state != l.state || now - l.healthAt >= every) {
      client_->Publish(topics_.Health(l.name), mqtt::HealthPayload(h, wall), 0, true);
      l.healthAt = now;
      l.state = h.state;
    }
    if (all || !l.published || h.stopped != l.stopped ||
        (stopInterval > 0 && now - l.stopAt >= std::chrono::seconds(stopInterval))) {
      if (client_->Publish(topics_.Value(l.name, mqtt::kStopTag),
                           mqtt::StopPayload(h.stopped, wall), settings_.defaults.qos, true) >= 0)
        ++unacknowledged_;
      l.stopAt = now;
      l.stopped = h.stopped;
    }
    l.published = true;
  }
}

void MqttBridge::Session::OnMessage(const MqttMessage& m) {
  auto set = mqtt::ReadSetMessage(m.topic, m.payload, m.responseTopic, topics_, gatewayName_,
                                  settings_.discoveryPrefix);
  if (!set) return;
  if (m.retain) {
    log::Warning("mqtt: a retained set message is not carried out",
                 {{"topic", m.topic}, {"payload", m.payload.substr(0, 64)}});
    return;
  }
  if (set->responseRefused) {
    log::Warning("mqtt: a response topic the gateway does not answer on; answered on set/result",
                 {{"topic", m.topic}, {"response_topic", m.responseTopic}});
  }
  Inbox::Answer answer;
  answer.topic = set->answerTopic;
  answer.qos = m.qos;
  answer.request = m;
  answer.request.payload.clear();
  answer.line = set->line;
  answer.tag = set->tag;
  const std::optional<double> number = set->value;
  answer.value = number ? Number(*number) : m.payload.substr(0, 64);
  const std::shared_ptr<Inbox> inbox = inbox_;
  const Gateway::Done done = [inbox, answer, number](Status status, const std::string& reason) {
    Inbox::Answer a = answer;
    a.status = status;
    a.reason = reason;
    a.payload = mqtt::AnswerPayload(a.line, a.tag, number, status, reason);
    inbox->Post(std::move(a));
  };
  const int line = gateway_.LineIndex(set->line);
  if (!number) return done(Status::Rejected, set->reason);
  if (line < 0) return done(Status::Rejected, "no line " + set->line + " on this gateway");
  if (set->stop) return gateway_.SetStop(line, *number != 0, done);
  const auto tag = gateway_.Tag(set->tag);
  if (!tag || tag->line != set->line)
    return done(Status::Rejected, "no tag " + set->tag + " on line " + set->line);
  gateway_.WriteTag(set->tag, *number, done);
}

void MqttBridge::Session::PublishAnswer(Inbox::Answer& a) {
  log::Info("mqtt write", {{"line", a.line},
                           {"tag", a.tag},
                           {"value", a.value},
                           {"result", mqtt::ResultName(a.status)},
                           {"reason", a.reason}});
  if (link_ != Link::Online) return;  // the requester sees "offline"
  client_->Publish(a.topic, a.payload, a.qos, false, &a.request);
}

void MqttBridge::Session::OnPublished(int) {
  if (unacknowledged_ > 0) --unacknowledged_;
}

// More publishes outstanding than this and changes wait (the latest of each
// tag) until the broker has taken what went before.
std::size_t MqttBridge::Session::Backlog() const {
  return std::max<std::size_t>(1000, 2 * records_.size());
}

// Takes what the other threads handed over; false when the thread must end.
bool MqttBridge::Session::Drain(Clock::time_point now) {
  std::unordered_map<std::string, TagState> changes;
  std::vector<Inbox::Answer> answers;
  std::optional<MqttSetup> reload;
  bool stop;
  {
    std::lock_guard lock(inbox_->mutex);
    stop = inbox_->stop;
    if (link_ != Link::Online || unacknowledged_ < Backlog()) changes.swap(inbox_->changes);
    answers.swap(inbox_->answers);
    reload.swap(inbox_->reload);
  }
  if (reload) Apply(*reload);
  if (link_ == Link::Online) {
    for (const auto& [name, state] : changes) {
      const auto it = records_.find(name);
      if (it != records_.end() &&
          mqtt::Changed(it->second.last, state, it->second.options.deadband))
        PublishTag(state, now);
    }
  }
  for (Inbox::Answer& a : answers) PublishAnswer(a);
  if (!answers.empty() && link_ == Link::Online) PublishLines(now, false);  // $STOP at once
  return !stop;
}

void MqttBridge::Session::Run() {
  for (;;) {
    auto now = Clock::now();
    if (link_ == Link::Down && now >= nextConnect_) TryConnect();
    pollfd fds[2] = {{inbox_->fd, POLLIN, 0}, {client_->fd(), client_->events(), 0}};
    auto wait = nextTick_ - now;
    if (link_ == Link::Down) wait = std::min(wait, nextConnect_ - now);
    const int timeout = static_cast<int>(std::clamp<std::int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(wait).count() + 1, 0, 1000));
    ::poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
    if ((fds[0].revents & POLLIN) != 0) {
      std::uint64_t n;
      [[maybe_unused]] const auto r = ::read(inbox_->fd, &n, sizeof n);
    }
    if (fds[1].fd >= 0 && fds[1].fd == client_->fd()) client_->Service(fds[1].revents);
    client_->Misc();
    now = Clock::now();
    if (!Drain(now)) break;
    if (now >= nextTick_) {
      nextTick_ = now + kTick;
      if (link_ == Link::Online && unacknowledged_ < Backlog()) {
        PublishDue(now);
        PublishLines(now, false);
      }
    }
  }
  std::chrono::milliseconds within;
  {
    std::lock_guard lock(inbox_->mutex);
    within = inbox_->leaveWithin;
  }
  Leave(Clock::now() + within);
}

void MqttBridge::Session::Leave(Clock::time_point deadline) {
  if (!client_->open()) return;
  const bool online = link_ == Link::Online;
  leaving_ = true;
  client_->Disconnect();
  while (client_->open() && Clock::now() < deadline) {
    pollfd fd{client_->fd(), client_->events(), 0};
    if (::poll(&fd, 1, 50) > 0) client_->Service(fd.revents);
  }
  if (online) log::Info("mqtt offline", {{"client_id", settings_.clientId}});
}

MqttBridge::MqttBridge(Gateway& gateway, const MqttSetup& config, std::string version)
    : gateway_(gateway),
      inbox_(std::make_shared<Inbox>()),
      session_(std::make_unique<Session>(gateway, config, std::move(version), inbox_)),
      endpoint_(config.mqtt.host + ":" + std::to_string(config.mqtt.port)) {}

MqttBridge::~MqttBridge() { Stop(1s); }

void MqttBridge::Start() {
  const std::shared_ptr<Inbox> inbox = inbox_;
  listener_ = gateway_.Subscribe([inbox](const TagState& tag) { inbox->Change(tag); });
  thread_ = std::thread([this] { session_->Run(); });
}

void MqttBridge::Stop(std::chrono::milliseconds wait) {
  if (listener_ != 0) {
    gateway_.Unsubscribe(listener_);
    listener_ = 0;
  }
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->stop = true;
    inbox_->leaveWithin = wait;
  }
  inbox_->Wake();
  thread_.join();
}

void MqttBridge::Reload(const MqttSetup& fresh) {
  {
    std::lock_guard lock(inbox_->mutex);
    inbox_->reload = fresh;
  }
  inbox_->Wake();
}

std::string MqttBridge::Endpoint() const { return endpoint_; }

}  // namespace zelgw
