// Whether the listeners of a configuration can be set up, for --check: each
// is bound (and listened on) as the service would, then released. The
// Modbus listener is held while the HTTP one is tried, so that the two on
// one port show.
#pragma once

#include <string>
#include <vector>

#include "config.h"
#include "modbus/listen_socket.h"

namespace zelgw {

struct ListenerCheck {
  std::vector<ConfigError> errors;  // the file is wrong for this machine
  std::vector<std::string> notes;   // what could not be checked here, and why
};
ListenerCheck CheckListeners(const Config& config);

}  // namespace zelgw
