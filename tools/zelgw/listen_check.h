// Whether the listeners of a configuration can be set up, for --check: each
// is bound (and listened on) as the service would, then released. The
// Modbus listener is held while the HTTP one is tried, so that the two on
// one port show.
#pragma once

#include <string>
#include <vector>

#include "config.h"

namespace zelgw {

// Binds a TCP listener to address:port (address empty: any) as the servers
// do, with SO_REUSEADDR. The descriptor, or -1 with the system's reason in
// why (gai_strerror for a name that does not resolve) and its errno in error
// (0 for a name).
int BindListener(const std::string& address, int port, std::string& why, int& error);

struct ListenerCheck {
  std::vector<ConfigError> errors;  // the file is wrong for this machine
  std::vector<std::string> notes;   // what could not be checked here, and why
};
ListenerCheck CheckListeners(const Config& config);

}  // namespace zelgw
