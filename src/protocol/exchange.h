// The write and read exchanges: one attempt each, request out, reply in,
// reply judged, values stored. Retries belong to the transfer commands.
#pragma once

#include <cstdint>

#include "protocol/attempt.h"
#include "serial/com.h"
#include "zelqd/zelqd.h"

namespace zelqd::protocol {

// Whether the request can be framed at all: a variable number of five
// digits, and value slots to take the value from or store into (a read of
// 0 to 106 values; a read of none needs no slot).
bool WriteRequestFits(const TransferRequest& request);
bool ReadRequestFits(const TransferRequest& request);

// The exchanges run on the instance's port, as the TransferPort of the
// transfer, and take the lead byte and the sequence character from the
// instance.

// Writes the value of the first slot to variableNumber. ResultOk when the
// remote computer confirmed it with a sound OK reply.
std::int32_t WriteExchange(serial::TransferPort& port, const DriverInstance& instance,
                           const TransferRequest& request, Attempt& attempt);

// Reads valueCount values from variableNumber on into the slots. After
// ResultOk every slot has been written, after ResultFailed none.
std::int32_t ReadExchange(serial::TransferPort& port, const DriverInstance& instance,
                          const TransferRequest& request, Attempt& attempt);

}  // namespace zelqd::protocol
