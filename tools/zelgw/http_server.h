// The HTTP listener: the status page (/), /status (JSON) and /metrics
// (Prometheus text), served by cpp-httplib on a small pool of its own
// threads. Read only: nothing is written through HTTP.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "config.h"
#include "gateway.h"
#include "modbus_server.h"
#include "observe.h"

namespace httplib {
class Server;
}

namespace zelgw {

class HttpServer {
 public:
  HttpServer(const Gateway& gateway, const Config& config, const ModbusServer& modbus,
             const ServiceInfo& info);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds; throws std::runtime_error. Port 0 takes any free port.
  void Listen();
  int port() const { return port_; }
  void Start();
  void Stop();

 private:
  std::unique_ptr<httplib::Server> server_;
  const Config& config_;
  int port_ = 0;
  std::thread thread_;
};

// The status page: one self-contained HTML document.
extern const char* const kStatusPage;

}  // namespace zelgw
