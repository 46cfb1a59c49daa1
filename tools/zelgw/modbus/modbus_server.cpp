#include "modbus/modbus_server.h"

#include <fcntl.h>
#include <modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "core/log.h"
#include "modbus/listen_socket.h"

namespace zelgw {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kIncompleteFrameLimit = 5s;
constexpr int kAcceptsPerRound = 64;
constexpr std::size_t kHeader = 7;  // MBAP header with the unit id

int Be16(const std::uint8_t* p) { return p[0] << 8 | p[1]; }

std::string PeerName(const sockaddr_storage& address, socklen_t length) {
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "?";
  return std::string(host) + ":" + service;
}

// The peer's address as 16 bytes: IPv6 as it is, IPv4 mapped.
void PeerBytes(const sockaddr_storage& address, std::uint8_t* out) {
  std::memset(out, 0, 16);
  if (address.ss_family == AF_INET6) {
    std::memcpy(out, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, 16);
  } else if (address.ss_family == AF_INET) {
    out[10] = out[11] = 0xFF;
    std::memcpy(out + 12, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, 4);
  }
}

}  // namespace

int ExceptionFor(Status status) {
  switch (status) {
    case Status::Ok:
      return 0;
    case Status::Suspended:
    case Status::LineDown:
      return kGatewayPathUnavailable;
    case Status::Failed:
      return kGatewayTargetFailed;
    case Status::Busy:
      return kServerBusy;
    case Status::Rejected:
      return kIllegalDataAddress;
  }
  return kGatewayTargetFailed;
}

ModbusServer::ModbusServer(Gateway& gateway, const ModbusListener& listener,
                           const std::vector<ModbusLine>& lines)
    : gateway_(gateway), options_(listener) {
  std::fill(std::begin(unitIndex_), std::end(unitIndex_), -1);
  for (std::size_t i = 0; i < lines.size() && i < gateway_.LineCount(); ++i) {
    const ModbusLine& m = lines[i];
    unitIndex_[m.unitId] = static_cast<int>(units_.size());
    units_.push_back(
        {static_cast<int>(i), RegisterMap(m), m.untaggedWrites, m.stopWritable, m.allowHalfReads});
  }
  // With one line, the unit ids of "the device itself" (0 and 255, which many
  // masters send to a single device) select it too.
  if (units_.size() == 1) {
    for (const int id : {0, 255}) {
      if (unitIndex_[id] < 0) unitIndex_[id] = 0;
    }
  }
  eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

ModbusServer::~ModbusServer() {
  for (auto& [id, c] : clients_) {
    if (c.fd >= 0) ::close(c.fd);
  }
  if (listenFd_ >= 0) ::close(listenFd_);
  if (eventFd_ >= 0) ::close(eventFd_);
  if (ctx_ != nullptr) modbus_free(ctx_);
}

void ModbusServer::Listen() {
  const std::string service = std::to_string(options_.port);
  const char* node = options_.address.empty() ? nullptr : options_.address.c_str();
  ctx_ = modbus_new_tcp_pi(node, service.c_str());
  if (ctx_ == nullptr)
    throw std::runtime_error("Modbus listener " + options_.address + ":" + service + ": " +
                             modbus_strerror(errno));
  // A deep queue: connections beyond the most clients are taken and closed
  // at once rather than left to the kernel's retries.
  listenFd_ = modbus_tcp_pi_listen(ctx_, SOMAXCONN);
  if (listenFd_ < 0) {
    // libmodbus says "Connection refused" for a name that does not resolve:
    // the system's own reason comes from binding as libmodbus does.
    std::string why = std::strerror(errno);
    int error = 0;
    if (const int fd = BindListener(options_.address, options_.port, why, error); fd >= 0)
      ::close(fd);
    throw std::runtime_error("cannot listen for Modbus TCP on " + options_.address + ":" + service +
                             ": " + why);
  }
  ::fcntl(listenFd_, F_SETFL, ::fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
  ::fcntl(listenFd_, F_SETFD, FD_CLOEXEC);
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    port_ = bound.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  }
}

void ModbusServer::Stop() {
  stopping_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(eventFd_, &one, sizeof one);
}

ModbusCounters ModbusServer::Counters() const {
  std::lock_guard lock(countersMutex_);
  ModbusCounters c = counters_;
  return c;
}

void ModbusServer::AddPollFds(std::vector<pollfd>& fds) {
  polled_.clear();
  fds.push_back({eventFd_, POLLIN, 0});
  const bool accepting = Clock::now() >= acceptPausedUntil_;
  fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
  for (const auto& [id, c] : clients_) {
    // While a request is with a line, the client's further bytes wait in
    // the socket; its hang-up still shows.
    fds.push_back({c.fd, static_cast<short>(c.waiting ? POLLRDHUP : POLLIN | POLLRDHUP), 0});
    polled_.push_back(id);
  }
}

void ModbusServer::Serve(const pollfd* fds) {
  if (fds[0].revents != 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(eventFd_, &count, sizeof count);
    DrainCompletions();
  }
  if (fds[1].revents != 0) Accept();
  for (std::size_t i = 0; i < polled_.size(); ++i) {
    if (fds[i + 2].revents != 0) Service(polled_[i], fds[i + 2].revents);
  }
  Expire(Clock::now());
}

void ModbusServer::Finish() {
  DrainCompletions();
  for (auto& [id, c] : clients_) {
    if (!c.waiting) continue;
    // The line did not answer in time (it hangs in the driver).
    c.waiting = false;
    std::uint8_t frame[260];
    std::memcpy(frame, c.request, c.requestLength);
    Exception(c, frame, kGatewayTargetFailed);
  }
  while (!clients_.empty()) Close(clients_.begin()->first, "gateway stopping");
}

std::uint64_t ModbusServer::AddLocalClient(std::string* out) {
  const std::uint64_t id = nextClient_++;
  Client& c = clients_[id];
  c.id = id;
  c.peer = "local";
  c.capture = out;
  c.lastActivity = Clock::now();
  return id;
}

std::size_t ModbusServer::Feed(std::uint64_t client, const std::uint8_t* bytes,
                               std::size_t length) {
  std::size_t taken = 0;
  for (;;) {
    const auto it = clients_.find(client);
    if (it == clients_.end() || it->second.waiting || taken == length) return taken;
    Client& c = it->second;
    const std::size_t n = std::min(length - taken, sizeof c.in - c.have);
    if (n == 0) return taken;  // cannot happen: a full buffer holds a whole frame
    const auto now = Clock::now();
    if (c.have == 0) c.partialSince = now;
    std::memcpy(c.in + c.have, bytes + taken, n);
    c.have += n;
    taken += n;
    c.lastActivity = now;
    Process(c);
  }
}

bool ModbusServer::Waiting(std::uint64_t client) const {
  const auto it = clients_.find(client);
  return it != clients_.end() && it->second.waiting;
}

void ModbusServer::AwaitAnswers(std::chrono::milliseconds wait) {
  pollfd fd{eventFd_, POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(wait.count())) > 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(eventFd_, &count, sizeof count);
  }
  DrainCompletions();
}

void ModbusServer::CloseLocalClient(std::uint64_t client) { Close(client, "closed by client"); }

bool ModbusServer::MakeRoom(const std::uint8_t* address, Clock::time_point now) {
  (void)now;
  // The longest idle of the clients that match; one waiting for a line is
  // not idle.
  const auto evictOldest = [this](auto&& matches) {
    const Client* oldest = nullptr;
    std::size_t count = 0;
    for (const auto& [id, c] : clients_) {
      if (!matches(c)) continue;
      ++count;
      if (!c.waiting && (oldest == nullptr || c.lastActivity < oldest->lastActivity)) oldest = &c;
    }
    return std::make_pair(count, oldest);
  };
  const auto sameAddress = [address](const Client& c) {
    return std::memcmp(c.address, address, 16) == 0;
  };
  const auto evict = [this](const Client* c) {
    {
      std::lock_guard lock(countersMutex_);
      ++counters_.evicted;
    }
    Close(c->id, "evicted for a new connection");
  };
  if (auto [count, oldest] = evictOldest(sameAddress);
      count >= static_cast<std::size_t>(options_.maxConnectionsPerClient)) {
    if (oldest == nullptr) return false;
    evict(oldest);
  }
  if (clients_.size() >= static_cast<std::size_t>(options_.maxClients)) {
    const auto [count, oldest] = evictOldest([](const Client&) { return true; });
    if (oldest == nullptr) return false;
    evict(oldest);
  }
  return true;
}

void ModbusServer::Accept() {
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the listener stays readable; look again later
        // (and say so once in ten seconds, not at every look).
        static log::Throttle throttle(10s);
        const int error = errno;
        if (std::size_t skipped = 0; throttle.Allow(skipped))
          log::Warning("cannot accept a Modbus client",
                       {{"error", std::strerror(error)}, {"left_out", std::to_string(skipped)}});
        acceptPausedUntil_ = Clock::now() + 100ms;
      }
      return;
    }
    const auto now = Clock::now();
    std::uint8_t peer[16];
    PeerBytes(address, peer);
    if (!options_.allow.empty() &&
        std::none_of(options_.allow.begin(), options_.allow.end(),
                     [&](const ClientNetwork& n) { return NetworkContains(n, peer); })) {
      ::close(fd);
      {
        std::lock_guard lock(countersMutex_);
        ++counters_.denied;
      }
      ++deniedSinceLog_;
      if (now - lastDenialLog_ >= 10s) {
        log::Warning(
            "Modbus clients outside the allow-list closed",
            {{"client", PeerName(address, length)}, {"closed", std::to_string(deniedSinceLog_)}});
        lastDenialLog_ = now;
        deniedSinceLog_ = 0;
      }
      continue;
    }
    if (!MakeRoom(peer, now)) {
      ::close(fd);
      {
        std::lock_guard lock(countersMutex_);
        ++counters_.refused;
      }
      ++refusedSinceLog_;
      if (now - lastRefusalLog_ >= 10s) {
        log::Warning("Modbus clients beyond the limit closed",
                     {{"max_clients", std::to_string(options_.maxClients)},
                      {"closed", std::to_string(refusedSinceLog_)}});
        lastRefusalLog_ = now;
        refusedSinceLog_ = 0;
      }
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::uint64_t id = nextClient_++;
    Client& c = clients_[id];
    c.fd = fd;
    c.id = id;
    c.peer = PeerName(address, length);
    std::memcpy(c.address, peer, sizeof peer);
    c.lastActivity = now;
    {
      std::lock_guard lock(countersMutex_);
      ++counters_.accepted;
      counters_.clients = clients_.size();
    }
    if (log::Enabled(log::Level::Debug))
      log::Write(log::Level::Debug, "Modbus client connected", {{"client", c.peer}});
  }
}

void ModbusServer::Close(std::uint64_t id, const std::string& reason) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  if (it->second.fd >= 0) ::close(it->second.fd);
  if (log::Enabled(log::Level::Debug))
    log::Write(log::Level::Debug, "Modbus client dropped",
               {{"client", it->second.peer}, {"reason", reason}});
  clients_.erase(it);
  std::lock_guard lock(countersMutex_);
  ++counters_.disconnects[reason];
  counters_.clients = clients_.size();
}

void ModbusServer::Service(std::uint64_t id, short revents) {
  const auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client& c = it->second;
  if ((revents & (POLLERR | POLLNVAL)) != 0) return Close(id, "socket error");
  if ((revents & POLLIN) != 0) {
    const ssize_t n = ::recv(c.fd, c.in + c.have, sizeof c.in - c.have, 0);
    if (n == 0) return Close(id, "closed by client");
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      return Close(id, "receive error");
    }
    const auto now = Clock::now();
    if (c.have == 0) c.partialSince = now;
    c.have += static_cast<std::size_t>(n);
    c.lastActivity = now;
    Process(c);
    return;
  }
  if ((revents & (POLLRDHUP | POLLHUP)) != 0) Close(id, "closed by client");
}

void ModbusServer::Process(Client& c) {
  const std::uint64_t id = c.id;
  while (!c.waiting && c.have >= kHeader) {
    const int protocol = Be16(c.in + 2);
    const int length = Be16(c.in + 4);  // unit id and PDU
    if (protocol != 0 || length < 2 || length > 254) return Close(id, "malformed frame");
    const std::size_t total = 6 + static_cast<std::size_t>(length);
    if (c.have < total) break;
    std::uint8_t frame[260];
    std::memcpy(frame, c.in, total);
    std::memmove(c.in, c.in + total, c.have - total);
    c.have -= total;
    if (c.have > 0) c.partialSince = Clock::now();
    if (!Handle(c, frame, total)) return;
  }
}

bool ModbusServer::Exception(Client& c, const std::uint8_t* frame, int code) {
  {
    std::lock_guard lock(countersMutex_);
    ++counters_.exceptions[{frame[7], code}];
  }
  const std::uint8_t pdu[2] = {static_cast<std::uint8_t>(frame[7] | 0x80),
                               static_cast<std::uint8_t>(code)};
  return Answer(c, frame, pdu, sizeof pdu);
}

bool ModbusServer::Answer(Client& c, const std::uint8_t* frame, const std::uint8_t* pdu,
                          std::size_t length) {
  std::uint8_t out[kHeader + 253];
  const std::size_t size = kHeader + length;
  std::memcpy(out, frame, 2);  // the transaction id
  out[2] = out[3] = 0;
  out[4] = static_cast<std::uint8_t>((length + 1) >> 8);
  out[5] = static_cast<std::uint8_t>(length + 1);
  out[6] = frame[6];
  std::memcpy(out + kHeader, pdu, length);
  c.lastActivity = Clock::now();  // the idle time counts from the answer too
  if (c.capture != nullptr) {
    c.capture->append(reinterpret_cast<const char*>(out), size);
    return true;
  }
  const ssize_t sent = ::send(c.fd, out, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent != static_cast<ssize_t>(size)) {
    Close(c.id, "reply not taken");
    return false;
  }
  return true;
}

bool ModbusServer::Echo(Client& c, const std::uint8_t* frame) {
  return Answer(c, frame, frame + kHeader, 5);
}

bool ModbusServer::PlanRegisters(const Unit& unit, int address, int count, Plan& plan) {
  plan.address = address;
  plan.count = count;
  plan.variables.clear();
  for (int i = 0; i < count; ++i) {
    const auto slot = unit.map.At(address + i);
    if (!slot) return false;
    auto found = std::find(plan.variables.begin(), plan.variables.end(), slot->variable);
    if (found == plan.variables.end()) {
      plan.variables.push_back(slot->variable);
      found = plan.variables.end() - 1;
    }
    plan.slotVariable[i] = static_cast<int>(found - plan.variables.begin());
    plan.slotHalf[i] = slot->half;
  }
  return true;
}

bool ModbusServer::ReplyRegisters(Client& c, const std::uint8_t* frame, const Unit& unit,
                                  const std::uint32_t* values) {
  const Plan& plan = c.plan;
  std::uint8_t pdu[2 + 2 * 125];
  pdu[0] = frame[7];
  pdu[1] = static_cast<std::uint8_t>(2 * plan.count);
  for (int i = 0; i < plan.count; ++i) {
    const std::uint16_t word = unit.map.Word(values[plan.slotVariable[i]], plan.slotHalf[i]);
    pdu[2 + 2 * i] = static_cast<std::uint8_t>(word >> 8);
    pdu[3 + 2 * i] = static_cast<std::uint8_t>(word);
  }
  return Answer(c, frame, pdu, 2 + 2 * static_cast<std::size_t>(plan.count));
}

bool ModbusServer::Handle(Client& c, const std::uint8_t* frame, std::size_t length) {
  const int unitId = frame[6];
  const int function = frame[7];
  const std::uint8_t* pdu = frame + kHeader;  // after the function code
  const std::size_t pduLength = length - kHeader - 1;
  {
    std::lock_guard lock(countersMutex_);
    ++counters_.requests[function];
  }
  if (unitIndex_[unitId] < 0) return Exception(c, frame, kGatewayPathUnavailable);
  const Unit& unit = units_[static_cast<std::size_t>(unitIndex_[unitId])];
  const int address = pduLength >= 2 ? Be16(pdu + 1) : 0;
  const int quantity = pduLength >= 4 ? Be16(pdu + 3) : 0;

  // Hands the request to the line; the reply follows in DrainCompletions.
  const auto send = [&](auto&& submit) {
    c.waiting = true;
    std::memcpy(c.request, frame, length);
    c.requestLength = length;
    c.unit = unitId;
    submit(c.id);
    return true;
  };
  const auto done = [this](std::uint64_t id) {
    return [this, id](Status status, const std::string& reason) { Post({id, status, reason, {}}); };
  };

  switch (function) {
    case MODBUS_FC_READ_COILS: {
      if (pduLength != 4 || quantity < 1 || quantity > MODBUS_MAX_READ_BITS)
        return Exception(c, frame, kIllegalDataValue);
      if (address != 0 || quantity != 1) return Exception(c, frame, kIllegalDataAddress);
      const std::uint8_t answer[3] = {
          MODBUS_FC_READ_COILS, 1, static_cast<std::uint8_t>(gateway_.Stopped(unit.line) ? 1 : 0)};
      return Answer(c, frame, answer, sizeof answer);
    }
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
      if (pduLength != 4 || quantity < 1 || quantity > MODBUS_MAX_READ_REGISTERS)
        return Exception(c, frame, kIllegalDataValue);
      if (address + quantity > 65536 || !PlanRegisters(unit, address, quantity, c.plan))
        return Exception(c, frame, kIllegalDataAddress);
      // Half a variable is refused unless the line allows it: the other half,
      // read later, may come from another poll.
      if (!unit.allowHalfReads && !unit.map.WholeVariables(address, quantity))
        return Exception(c, frame, kIllegalDataAddress);
      // The cache is read under one lock for the whole answer: no poll lands
      // between two of its values.
      std::uint32_t values[125];
      if (gateway_.ReadCached(unit.line, c.plan.variables, values))
        return ReplyRegisters(c, frame, unit, values);
      return send([&](std::uint64_t id) {
        gateway_.ReadVariables(unit.line, c.plan.variables,
                               [this, id](Status status, const std::string& reason,
                                          std::span<const std::uint32_t> got) {
                                 Post({id, status, reason, {got.begin(), got.end()}});
                               });
      });
    }
    case MODBUS_FC_WRITE_SINGLE_COIL: {
      if (pduLength != 4) return Exception(c, frame, kIllegalDataValue);
      if (address != 0) return Exception(c, frame, kIllegalDataAddress);
      if (quantity != 0xFF00 && quantity != 0) return Exception(c, frame, kIllegalDataValue);
      if (!unit.stopWritable) return Exception(c, frame, kIllegalDataAddress);
      const bool stop = quantity == 0xFF00;
      return send([&](std::uint64_t id) { gateway_.SetStop(unit.line, stop, done(id)); });
    }
    case MODBUS_FC_WRITE_MULTIPLE_COILS: {
      const std::size_t bytes = pduLength >= 5 ? pdu[5] : 0;
      if (pduLength < 6 || quantity < 1 || quantity > MODBUS_MAX_WRITE_BITS ||
          bytes != static_cast<std::size_t>((quantity + 7) / 8) || pduLength != 5 + bytes)
        return Exception(c, frame, kIllegalDataValue);
      if (address != 0 || quantity != 1 || !unit.stopWritable)
        return Exception(c, frame, kIllegalDataAddress);
      const bool stop = (pdu[6] & 1) != 0;
      return send([&](std::uint64_t id) { gateway_.SetStop(unit.line, stop, done(id)); });
    }
    case MODBUS_FC_WRITE_SINGLE_REGISTER: {
      if (pduLength != 4) return Exception(c, frame, kIllegalDataValue);
      if (!unit.map.At(address)) return Exception(c, frame, kIllegalDataAddress);
      return Exception(c, frame, kIllegalDataValue);  // one register is half a variable
    }
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
      const std::size_t bytes = pduLength >= 5 ? pdu[5] : 0;
      if (pduLength < 6 || quantity < 1 || quantity > MODBUS_MAX_WRITE_REGISTERS ||
          bytes != 2 * static_cast<std::size_t>(quantity) || pduLength != 5 + bytes)
        return Exception(c, frame, kIllegalDataValue);
      if (address + quantity > 65536 || !PlanRegisters(unit, address, quantity, c.plan))
        return Exception(c, frame, kIllegalDataAddress);
      // Whole variables only: both registers of each, and writable.
      const Plan& plan = c.plan;
      std::vector<std::pair<int, std::uint32_t>> writes;
      for (std::size_t v = 0; v < plan.variables.size(); ++v) {
        int first = -1, second = -1;
        for (int i = 0; i < plan.count; ++i) {
          if (plan.slotVariable[i] != static_cast<int>(v)) continue;
          (plan.slotHalf[i] == 0 ? first : second) =
              Be16(pdu + 6 + 2 * static_cast<std::ptrdiff_t>(i));
        }
        if (first < 0 || second < 0) return Exception(c, frame, kIllegalDataValue);
        const VariableAccess access = gateway_.Access(unit.line, plan.variables[v]);
        if (access == VariableAccess::ReadOnly ||
            (access == VariableAccess::Untagged && !unit.untaggedWrites))
          return Exception(c, frame, kIllegalDataAddress);
        writes.emplace_back(plan.variables[v], unit.map.Join(static_cast<std::uint16_t>(first),
                                                             static_cast<std::uint16_t>(second)));
      }
      return send([&](std::uint64_t id) {
        gateway_.WriteVariables(unit.line, std::move(writes), done(id));
      });
    }
    default:
      return Exception(c, frame, kIllegalFunction);
  }
}

void ModbusServer::Post(Completion&& completion) {
  {
    std::lock_guard lock(completionsMutex_);
    completions_.push_back(std::move(completion));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(eventFd_, &one, sizeof one);
}

void ModbusServer::DrainCompletions() {
  std::vector<Completion> done;
  {
    std::lock_guard lock(completionsMutex_);
    done.swap(completions_);
  }
  for (Completion& d : done) {
    const auto it = clients_.find(d.client);
    if (it == clients_.end() || !it->second.waiting) continue;  // the client has gone
    Client& c = it->second;
    c.waiting = false;
    std::uint8_t frame[260];
    std::memcpy(frame, c.request, c.requestLength);
    const Unit& unit = units_[static_cast<std::size_t>(unitIndex_[c.unit])];
    bool alive = true;
    if (d.status != Status::Ok) {
      alive = Exception(c, frame, ExceptionFor(d.status));
    } else if (frame[7] == MODBUS_FC_READ_HOLDING_REGISTERS ||
               frame[7] == MODBUS_FC_READ_INPUT_REGISTERS) {
      if (d.values.size() == c.plan.variables.size()) {
        alive = ReplyRegisters(c, frame, unit, d.values.data());
      } else {
        alive = Exception(c, frame, kGatewayTargetFailed);
      }
    } else {
      alive = Echo(c, frame);
    }
    // Requests that came meanwhile; none once the gateway is stopping.
    if (alive && !stopping_) Process(c);
  }
}

void ModbusServer::Expire(Clock::time_point now) {
  const auto idle = std::chrono::seconds(options_.idleTimeoutSeconds);
  std::vector<std::pair<std::uint64_t, const char*>> drop;
  for (const auto& [id, c] : clients_) {
    if (c.waiting) continue;
    if (c.have > 0 && now - c.partialSince > kIncompleteFrameLimit) {
      drop.emplace_back(id, "incomplete frame");
    } else if (now - c.lastActivity > idle) {
      drop.emplace_back(id, "idle");
    }
  }
  for (const auto& [id, reason] : drop) Close(id, reason);
}

}  // namespace zelgw
