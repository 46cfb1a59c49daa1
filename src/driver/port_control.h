// Port control: binding an instance to a serial port and releasing it.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

std::int32_t OpenPort(const DriverCall* call);         // code 1
std::int32_t PurgeInput(const DriverCall* call);       // code 2
std::int32_t Shutdown(const DriverCall* call);         // code 11
std::int32_t ClosePort(const DriverCall* call);        // code 12
std::int32_t ReopenPort(const DriverCall* call);       // code 13
std::int32_t ChangeZelParams(const DriverCall* call);  // code 15

}  // namespace zelqd
