// Variable transfer commands: reads and writes with retries and the STOP gate.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

// Attempts per transfer.
inline constexpr int kAttempts = 5;

std::int32_t ReadVar(const DriverCall* call);     // code 5
std::int32_t ReadBlock(const DriverCall* call);   // code 6
std::int32_t WriteVar(const DriverCall* call);    // code 7
std::int32_t WriteValue(const DriverCall* call);  // code 10

}  // namespace zelqd
