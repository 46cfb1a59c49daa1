#include "listen_check.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelgw {
namespace {

// Errors that depend on who runs the check and what runs beside it, not on
// the file: a port in use (the service itself, maybe), or one below 1024
// without the capability the service has.
bool Situational(int error) { return error == EADDRINUSE || error == EACCES || error == EPERM; }

bool Wildcard(const std::string& address) {
  return address.empty() || address == "0.0.0.0" || address == "::" || address == "*";
}

std::string Endpoint(const std::string& address, int port) {
  return (address.empty() ? std::string("*") : address) + ":" + std::to_string(port);
}

}  // namespace

ListenerCheck CheckListeners(const Config& config) {
  ListenerCheck out;
  const auto& m = config.modbusListener;
  const auto& h = config.http;
  const auto fail = [&](const std::string& key, const std::string& address, int port,
                        const std::string& why) {
    out.errors.push_back(
        {config.file, 0, 0, key, "cannot listen on " + Endpoint(address, port) + ": " + why});
  };
  std::string why;
  int error = 0;
  const int modbus = BindListener(m.address, m.port, why, error);
  if (modbus < 0) {
    if (Situational(error)) {
      out.notes.push_back("modbus.listen: " + Endpoint(m.address, m.port) +
                          " could not be checked: " + why);
    } else {
      fail("modbus.listen", m.address, m.port, why);
    }
  }
  if (h.enabled) {
    // One port for both: the HTTP bind fails while Modbus holds it, or, when
    // Modbus could not be held, the addresses tell.
    const bool samePort = h.port != 0 && h.port == m.port;
    const bool overlap =
        samePort && (h.address == m.address || Wildcard(h.address) || Wildcard(m.address));
    const int http = BindListener(h.address, h.port, why, error);
    if (http >= 0) ::close(http);
    if (samePort && ((http < 0 && error == EADDRINUSE && modbus >= 0) || (modbus < 0 && overlap))) {
      out.errors.push_back({config.file, 0, 0, "http.port",
                            "port " + std::to_string(h.port) +
                                " is the Modbus listener's too (modbus.port): give each its own"});
    } else if (http < 0 && Situational(error)) {
      out.notes.push_back("http.listen: " + Endpoint(h.address, h.port) +
                          " could not be checked: " + why);
    } else if (http < 0) {
      fail("http.listen", h.address, h.port, why);
    }
  }
  if (modbus >= 0) ::close(modbus);
  return out;
}

}  // namespace zelgw
