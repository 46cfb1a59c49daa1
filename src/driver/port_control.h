// Port control: binding an instance to a serial port and releasing it.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

std::int32_t OpenPort(DriverInstance& instance, const OpenRequest& request);  // code 1
std::int32_t PurgeInput(DriverInstance& instance);                            // code 2
std::int32_t Shutdown(DriverInstance& instance);                              // code 11
std::int32_t ClosePort(DriverInstance& instance);                             // code 12
std::int32_t ReopenPort(DriverInstance& instance);                            // code 13
std::int32_t ChangeZelParams(DriverInstance& instance,
                             const PortChangeRequest& request);  // code 15

}  // namespace zelqd
