#include "http/http_server.h"

#include <microhttpd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/log.h"

namespace zelgw {
namespace {

using namespace std::chrono_literals;

HttpServer* Self(void* cls) { return static_cast<HttpServer*>(cls); }

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload*/, std::size_t* uploadSize,
                     void** request) {
  try {
    return Self(cls)->Answer(connection, url, method, uploadSize, request) != 0 ? MHD_YES : MHD_NO;
  } catch (const std::exception&) {
    return MHD_NO;  // out of memory for the page: the connection is closed
  }
}

void OnConnection(void* cls, MHD_Connection* connection, void** /*socket*/,
                  MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    Self(cls)->Began(connection);
  } else {
    Self(cls)->Ended(connection);
  }
}

void OnCompleted(void* cls, MHD_Connection* connection, void** /*request*/,
                 MHD_RequestTerminationCode /*code*/) {
  Self(cls)->Answered(connection);
}

// The library's own messages (refused connections, accept failures): a
// flood of them is cut down to one line in ten seconds.
log::Throttle g_libraryMessages(10s);

void OnLibraryMessage(void* /*cls*/, const char* format, va_list args) {
  std::size_t skipped = 0;
  if (!g_libraryMessages.Allow(skipped)) return;
  char text[256];
  std::vsnprintf(text, sizeof text, format, args);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  log::Warning("HTTP listener", {{"error", message}, {"left_out", std::to_string(skipped)}});
}

MHD_Result Send(MHD_Connection* connection, unsigned status, const std::string& body,
                const char* type, bool noStore) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (noStore) MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result result = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

// Listens on address:port for TCP; the error says the system's reason.
int ListenSocket(const std::string& address, int port) {
  const std::string service = std::to_string(port);
  const std::string where = address + ":" + service;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int resolved =
      ::getaddrinfo(address.empty() ? nullptr : address.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0)
    throw std::runtime_error(
        "cannot listen for HTTP on " + where + ": " +
        (resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved)));
  std::string reason = "no address";
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      reason = std::strerror(errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      reason = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  if (fd < 0) throw std::runtime_error("cannot listen for HTTP on " + where + ": " + reason);
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
  return bound.ss_family == AF_INET6
             ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
             : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

}  // namespace

HttpServer::HttpServer(const HttpListener& listener, Pages pages)
    : listener_(listener), pages_(std::move(pages)) {}

HttpServer::~HttpServer() {
  Stop();
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void HttpServer::Listen() {
  const int fd = ListenSocket(listener_.address, listener_.port);
  port_ = BoundPort(fd);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    ::close(fd);
    throw std::runtime_error(std::string("HTTP listener: eventfd: ") + std::strerror(errno));
  }
  // Run by this object's own thread: every callback comes from MHD_run there.
  const unsigned flags = MHD_USE_EPOLL | MHD_USE_ERROR_LOG;
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &OnRequest, this,
      // First, so that every message of the library goes to the log.
      MHD_OPTION_EXTERNAL_LOGGER, &OnLibraryMessage, nullptr, MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
      kMaxPerAddress, MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kRequestDeadline.count()),
      MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, this, MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted,
      this, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    ::close(fd);
    throw std::runtime_error("cannot start the HTTP listener on " + listener_.address + ":" +
                             std::to_string(port_));
  }
}

void HttpServer::Start() {
  if (daemon_ != nullptr) thread_ = std::thread([this] { Run(); });
}

void HttpServer::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);  // an eventfd write of 8 bytes cannot fail here
  thread_.join();
}

void HttpServer::Run() {
  const MHD_DaemonInfo* epoll = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
  if (epoll == nullptr) {
    log::Error("HTTP listener: no epoll descriptor");
    return;
  }
  pollfd fds[2] = {{epoll->epoll_fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    // Woken at least four times a second for the request deadline.
    int wait = 250;
    MHD_UNSIGNED_LONG_LONG next = 0;
    if (MHD_get_timeout(daemon_, &next) == MHD_YES)
      wait = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(next, 250));
    if (::poll(fds, 2, wait) < 0 && errno != EINTR) {
      log::Error("HTTP listener: poll failed", {{"error", std::strerror(errno)}});
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    MHD_run(daemon_);
    CloseOverdue(Clock::now());
  }
}

void HttpServer::CloseOverdue(Clock::time_point now) {
  for (auto& [connection, began] : began_) {
    if (now - began < kRequestDeadline) continue;
    // Shut down, not closed: the library sees the end of the stream at
    // its next round and closes the connection itself.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) ::shutdown(info->connect_fd, SHUT_RDWR);
    began = Clock::time_point::max();
    ++overdueSinceLog_;
  }
  if (overdueSinceLog_ > 0 && now - lastOverdueLog_ >= 10s) {
    log::Write(log::Level::Notice, "HTTP connections past the request deadline closed",
               {{"closed", std::to_string(overdueSinceLog_)},
                {"deadline_s", std::to_string(kRequestDeadline.count())}});
    overdueSinceLog_ = 0;
    lastOverdueLog_ = now;
  }
}

void HttpServer::Began(MHD_Connection* connection) { began_[connection] = Clock::now(); }

void HttpServer::Ended(MHD_Connection* connection) { began_.erase(connection); }

void HttpServer::Answered(MHD_Connection* connection) {
  // The next request on the same connection has a deadline of its own.
  if (const auto at = began_.find(connection);
      at != began_.end() && at->second != Clock::time_point::max())
    at->second = Clock::now();
}

int HttpServer::Answer(MHD_Connection* connection, const char* url, const char* method,
                       std::size_t* uploadSize, void** request) {
  // The first call has the header only; a body, if any, comes in further
  // calls and is dropped (no endpoint takes one).
  static int marker = 0;
  if (*request == nullptr) {
    *request = &marker;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  const std::string path = url != nullptr ? url : "";
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
    return Send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "GET only\n", "text/plain", false);
  if (path == "/")
    return Send(connection, MHD_HTTP_OK, kStatusPage, "text/html; charset=utf-8", true);
  if (path == "/status")
    return Send(connection, MHD_HTTP_OK, pages_.status(), "application/json", true);
  if (path == "/metrics")
    return Send(connection, MHD_HTTP_OK, pages_.metrics(),
                "text/plain; version=0.0.4; charset=utf-8", false);
  return Send(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain", false);
}

}  // namespace zelgw
