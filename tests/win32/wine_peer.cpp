// The far end of the COM port tests of the Win32 build under Wine.
//
//   zelqd_wine_peer --dosdevices DIR --ports 5,6 [--sim 5] -- PROGRAM [ARGS...]
//
// For each port number N it opens a pseudo-terminal and links DIR/comN to
// its slave, so that the Windows program opens the pty as COMN. The ports
// given with --sim start with the simulator engine on their far end (as
// after "sim N"), the others in raw mode. It listens
// on the loopback interface, runs PROGRAM with ZELQD_PEER=127.0.0.1:PORT in
// its environment, serves the program's control connection and the line
// until PROGRAM ends, removes the links and exits with PROGRAM's status.
//
// The peer keeps a slave descriptor of its own open, so that the program's
// closing and reopening of a port never hangs the line up.
//
// Control requests, one line each, answered by one line "OK ..." or
// "ERR reason":
//   take N               the bytes that arrived from the program since the
//                        last take, as hexadecimal
//   send N HEX [MS]      puts the bytes on the line, after MS milliseconds
//   discard N            drops everything received so far
//   termios N            the slave's settings: speed csize parenb parodd
//                        cstopb crtscts
//   hangup N             closes the port's master and slave for good
//   sim N [FAULT TRIGGER]...
//                        from now on the simulator engine answers the
//                        requests on the port, with the faults given (names
//                        as zelsim's: silent, error, drop, corrupt, delay,
//                        split, garbage; triggers as zelsim's)
//   raw N                back to raw mode: bytes are kept for take
//   set N VAR VALUE      the simulator's variable VAR holds VALUE
//   get N VAR            the value the simulator holds for VAR
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "zelsim/engine.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

struct Scheduled {
  Clock::time_point at;
  Bytes bytes;
};

struct Port {
  int number = 0;
  int master = -1;
  int slave = -1;
  std::string link;
  Bytes received;
  std::vector<Scheduled> pending;
  std::unique_ptr<zelsim::Engine> engine;  // null: raw mode
};

struct Client {
  int fd = -1;
  std::string in;
};

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool FromHex(const std::string& text, Bytes* out) {
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const long v = std::strtol(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return false;
    out->push_back(static_cast<std::uint8_t>(v));
  }
  return true;
}

long SpeedOf(speed_t s) {
  static const std::map<speed_t, long> kSpeeds = {
      {B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},
      {B150, 150},     {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},
      {B1800, 1800},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
  };
  const auto it = kSpeeds.find(s);
  return it == kSpeeds.end() ? -1 : it->second;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class Peer {
 public:
  std::map<int, Port> ports;

  std::string Handle(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    int number = 0;
    in >> verb >> number;
    const auto it = ports.find(number);
    if (it == ports.end()) return "ERR no port " + std::to_string(number);
    Port& port = it->second;
    if (verb == "take") {
      const std::string out = "OK " + Hex(port.received);
      port.received.clear();
      return out;
    }
    if (verb == "discard") {
      port.received.clear();
      return "OK";
    }
    if (verb == "send") {
      std::string hex;
      long ms = 0;
      in >> hex >> ms;
      Bytes bytes;
      if (!FromHex(hex, &bytes)) return "ERR bad hex";
      port.pending.push_back({Clock::now() + std::chrono::milliseconds(ms), bytes});
      return "OK";
    }
    if (verb == "termios") {
      termios t{};
      if (port.master < 0 || ::tcgetattr(port.master, &t) != 0) return "ERR tcgetattr";
      const tcflag_t size = t.c_cflag & CSIZE;
      const int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
      std::ostringstream out;
      out << "OK " << SpeedOf(::cfgetospeed(&t)) << ' ' << bits << ' '
          << ((t.c_cflag & PARENB) ? 1 : 0) << ' ' << ((t.c_cflag & PARODD) ? 1 : 0) << ' '
          << ((t.c_cflag & CSTOPB) ? 1 : 0) << ' ' << ((t.c_cflag & CRTSCTS) ? 1 : 0);
      return out.str();
    }
    if (verb == "hangup") {
      if (port.master >= 0) ::close(port.master);
      if (port.slave >= 0) ::close(port.slave);
      port.master = port.slave = -1;
      port.pending.clear();
      return "OK";
    }
    if (verb == "sim") {
      zelsim::FaultConfig faults;
      std::string fault, trigger;
      while (in >> fault >> trigger) {
        bool known = false;
        for (int f = 0; f < zelsim::kFaultKinds; ++f) {
          if (fault != zelsim::FaultName(static_cast<zelsim::Fault>(f))) continue;
          try {
            faults[static_cast<zelsim::Fault>(f)] = zelsim::Trigger::Parse(trigger);
          } catch (const std::exception& e) {
            return std::string("ERR ") + e.what();
          }
          known = true;
        }
        if (!known) return "ERR unknown fault " + fault;
      }
      port.engine = std::make_unique<zelsim::Engine>(faults);
      return "OK";
    }
    if (verb == "raw") {
      port.engine.reset();
      return "OK";
    }
    if (verb == "set" || verb == "get") {
      long var = -1;
      unsigned long value = 0;
      in >> var >> value;
      if (!port.engine) return "ERR raw mode";
      if (var < 0 || var > 99999) return "ERR bad variable";
      if (verb == "get") {
        return "OK " + std::to_string(port.engine->table().Get(static_cast<int>(var)));
      }
      port.engine->table().Set(static_cast<int>(var), static_cast<std::uint32_t>(value));
      return "OK";
    }
    return "ERR unknown request " + verb;
  }

  void FromLine(Port& port, const std::uint8_t* data, std::size_t size) {
    if (!port.engine) {
      port.received.insert(port.received.end(), data, data + size);
      return;
    }
    auto at = Clock::now();
    for (const zelsim::Event& event : port.engine->Feed(std::span(data, size))) {
      const auto* exchange = std::get_if<zelsim::Exchange>(&event);
      if (exchange == nullptr) continue;
      for (const zelsim::Chunk& chunk : exchange->line) {
        at += std::chrono::milliseconds(chunk.waitMs);
        port.pending.push_back({at, Bytes(chunk.bytes.begin(), chunk.bytes.end())});
      }
    }
  }

  // Puts due bytes on the line; returns the wait until the next are due.
  int Flush() {
    int wait = 50;
    const auto now = Clock::now();
    for (auto& [number, port] : ports) {
      for (auto it = port.pending.begin(); it != port.pending.end();) {
        if (it->at <= now) {
          if (port.master >= 0) WriteAll(port.master, it->bytes.data(), it->bytes.size());
          it = port.pending.erase(it);
        } else {
          const auto ms =
              std::chrono::duration_cast<std::chrono::milliseconds>(it->at - now).count() + 1;
          if (ms < wait) wait = static_cast<int>(ms);
          ++it;
        }
      }
    }
    return wait;
  }
};

[[noreturn]] void Usage() {
  std::fprintf(
      stderr,
      "usage: zelqd_wine_peer --dosdevices DIR --ports N[,N...] [--sim N[,N...]] -- PROGRAM "
      "[ARGS...]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dosdevices;
  std::vector<int> numbers;
  std::vector<int> simulated;
  int first = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--dosdevices" && i + 1 < argc) {
      dosdevices = argv[++i];
    } else if (arg == "--ports" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ',')) numbers.push_back(std::atoi(item.c_str()));
    } else if (arg == "--sim" && i + 1 < argc) {
      std::stringstream list(argv[++i]);
      std::string item;
      while (std::getline(list, item, ',')) simulated.push_back(std::atoi(item.c_str()));
    } else if (arg == "--") {
      first = i + 1;
      break;
    } else {
      Usage();
    }
  }
  if (dosdevices.empty() || numbers.empty() || first < 0 || first >= argc) Usage();
  ::signal(SIGPIPE, SIG_IGN);

  Peer peer;
  for (int number : numbers) {
    Port port;
    port.number = number;
    char name[256];
    if (::openpty(&port.master, &port.slave, name, nullptr, nullptr) != 0) {
      std::perror("zelqd_wine_peer: openpty");
      return 1;
    }
    termios t{};
    ::tcgetattr(port.slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(port.slave, TCSANOW, &t);
    ::fcntl(port.master, F_SETFL, ::fcntl(port.master, F_GETFL) | O_NONBLOCK);
    port.link = dosdevices + "/com" + std::to_string(number);
    ::unlink(port.link.c_str());
    if (::symlink(name, port.link.c_str()) != 0) {
      std::perror("zelqd_wine_peer: symlink");
      return 1;
    }
    peer.ports.emplace(number, std::move(port));
  }
  for (int number : simulated) {
    if (peer.Handle("sim " + std::to_string(number)) != "OK") Usage();
  }

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("zelqd_wine_peer: control socket");
    return 1;
  }
  const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("ZELQD_PEER", endpoint.c_str(), 1);
    for (auto& [number, port] : peer.ports) {
      ::close(port.master);
      ::close(port.slave);
    }
    ::execvp(argv[first], argv + first);
    std::perror("zelqd_wine_peer: exec");
    ::_exit(127);
  }

  std::vector<Client> clients;
  int status = 0;
  for (;;) {
    if (::waitpid(child, &status, WNOHANG) == child) break;
    const int wait = peer.Flush();
    std::vector<pollfd> fds;
    fds.push_back({listener, POLLIN, 0});
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    std::vector<int> order;
    for (auto& [number, port] : peer.ports) {
      if (port.master < 0) continue;
      fds.push_back({port.master, POLLIN, 0});
      order.push_back(number);
    }
    if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) break;
    std::size_t k = 0;
    if (fds[k++].revents & POLLIN) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, {}});
    }
    for (std::size_t c = 0; c < clients.size(); ++c, ++k) {
      if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = ::recv(clients[c].fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        ::close(clients[c].fd);
        clients[c].fd = -1;
        continue;
      }
      clients[c].in.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = clients[c].in.find('\n')) != std::string::npos) {
        std::string request = clients[c].in.substr(0, end);
        clients[c].in.erase(0, end + 1);
        if (!request.empty() && request.back() == '\r') request.pop_back();
        const std::string answer = peer.Handle(request) + "\n";
        WriteAll(clients[c].fd, reinterpret_cast<const std::uint8_t*>(answer.data()),
                 answer.size());
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
    for (int number : order) {
      const pollfd& p = fds[k++];
      Port& port = peer.ports[number];
      if (!(p.revents & (POLLIN | POLLHUP | POLLERR)) || port.master < 0) continue;
      std::uint8_t buffer[4096];
      const ssize_t n = ::read(port.master, buffer, sizeof buffer);
      if (n > 0) peer.FromLine(port, buffer, static_cast<std::size_t>(n));
    }
  }
  for (auto& [number, port] : peer.ports) ::unlink(port.link.c_str());
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
