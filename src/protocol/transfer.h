// Variable transfer commands: reads and writes with retries and the STOP gate.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

// Attempts per transfer.
inline constexpr int kAttempts = ZELQD_ATTEMPTS;

std::int32_t ReadVar(DriverInstance& instance, TransferRequest& request);           // code 5
std::int32_t ReadBlock(DriverInstance& instance, const TransferRequest& request);   // code 6
std::int32_t WriteVar(DriverInstance& instance, TransferRequest& request);          // code 7
std::int32_t WriteValue(DriverInstance& instance, const TransferRequest& request);  // code 10

}  // namespace zelqd
