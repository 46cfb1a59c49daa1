// The HTTP listener: the status page (/), /status (JSON) and /metrics
// (Prometheus text), served by libmicrohttpd on one thread of its own
// (epoll). Read only: nothing is written through HTTP.
//
// Bounded by construction: at most kMaxConnections connections at once
// (kMaxPerAddress from one address; beyond them a connection is closed at
// once), a request's header in kConnectionMemory bytes (beyond: 431), and
// each request, from its first byte (or the end of the one before on the
// same connection) to the last byte of its answer, within kRequestDeadline;
// a connection past it is closed, so slow clients cannot hold the listener.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <unordered_map>

#include "http/http_settings.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace zelgw {

class HttpServer {
 public:
  static constexpr unsigned kMaxConnections = 64;
  static constexpr unsigned kMaxPerAddress = 16;
  static constexpr std::size_t kConnectionMemory = std::size_t{16} * 1024;
  static constexpr std::chrono::seconds kRequestDeadline{10};

  // What the endpoints answer, made when asked, on the serving thread.
  struct Pages {
    std::function<std::string()> status;   // /status, JSON
    std::function<std::string()> metrics;  // /metrics, Prometheus text
  };
  HttpServer(const HttpListener& listener, Pages pages);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds; throws std::runtime_error with the system's reason. Port 0 takes
  // any free port.
  void Listen();
  int port() const { return port_; }
  void Start();
  void Stop();

  // libmicrohttpd's callbacks (C linkage from its side).
  int Answer(MHD_Connection* connection, const char* url, const char* method,
             std::size_t* uploadSize, void** request);
  void Began(MHD_Connection* connection);
  void Ended(MHD_Connection* connection);
  void Answered(MHD_Connection* connection);

 private:
  using Clock = std::chrono::steady_clock;
  void Run();
  void CloseOverdue(Clock::time_point now);

  const HttpListener listener_;
  const Pages pages_;
  MHD_Daemon* daemon_ = nullptr;
  int port_ = 0;
  int wakeFd_ = -1;
  std::thread thread_;
  // Only the serving thread touches these (every callback runs there):
  // when the current request of each connection began.
  std::unordered_map<MHD_Connection*, Clock::time_point> began_;
  std::size_t overdueSinceLog_ = 0;
  Clock::time_point lastOverdueLog_{};
};

// The status page: one self-contained HTML document.
extern const char* const kStatusPage;

}  // namespace zelgw
