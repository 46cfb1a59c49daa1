// A TCP listening socket, as the Modbus server opens it.
#pragma once

#include <string>

namespace zelgw {

// Binds a TCP listener to address:port (address empty: any) as the servers
// do, with SO_REUSEADDR. The descriptor, or -1 with the system's reason in
// why (gai_strerror for a name that does not resolve) and its errno in error
// (0 for a name).
int BindListener(const std::string& address, int port, std::string& why, int& error);

}  // namespace zelgw
