#include "http_server.h"

#include <httplib.h>

#include <stdexcept>

namespace zelgw {

HttpServer::HttpServer(const Gateway& gateway, const Config& config, const ModbusServer& modbus,
                       const ServiceInfo& info)
    : server_(std::make_unique<httplib::Server>()), config_(config) {
  // A few threads are plenty for a status page and a scraper.
  server_->new_task_queue = [] { return new httplib::ThreadPool(2); };
  server_->set_read_timeout(5, 0);
  server_->set_write_timeout(5, 0);
  server_->set_keep_alive_max_count(100);
  server_->set_payload_max_length(std::size_t{64} * 1024);
  const ServiceInfo* shared = &info;
  server_->Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(kStatusPage, "text/html; charset=utf-8");
  });
  server_->Get("/status", [&gateway, &config, &modbus, shared](const httplib::Request&,
                                                               httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(RenderStatus(gateway, config, modbus.Counters(), *shared), "application/json");
  });
  server_->Get("/metrics", [&gateway, &config, &modbus, shared](const httplib::Request&,
                                                                httplib::Response& res) {
    res.set_content(RenderMetrics(gateway, config, modbus.Counters(), *shared),
                    "text/plain; version=0.0.4; charset=utf-8");
  });
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Listen() {
  const std::string& address = config_.http.address;
  if (config_.http.port == 0) {
    port_ = server_->bind_to_any_port(address);
  } else if (server_->bind_to_port(address, config_.http.port)) {
    port_ = config_.http.port;
  } else {
    port_ = -1;
  }
  if (port_ < 0)
    throw std::runtime_error("cannot listen for HTTP on " + address + ":" +
                             std::to_string(config_.http.port));
}

void HttpServer::Start() {
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void HttpServer::Stop() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

}  // namespace zelgw
