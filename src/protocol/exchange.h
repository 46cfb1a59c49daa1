// The write and read exchanges: one attempt each, request out, reply in,
// reply judged, values stored. Retries belong to the transfer commands.
#pragma once

#include <cstdint>

#include "protocol/attempt.h"
#include "zelqd/zelqd.h"

namespace zelqd::protocol {

// Writes the frame to the instance's port after discarding pending input:
// ResultOk when every byte went out, otherwise ResultFailed.
std::int32_t SendFrame(DriverInstance* instance, const std::uint8_t* bytes, std::int32_t length);

// Reads exactly length bytes from the instance's port within its read
// time-out: ResultOk or ResultFailed. *received (when not null) holds the
// count that arrived.
std::int32_t ReceiveFrame(DriverInstance* instance, std::uint8_t* buffer, std::int32_t length,
                          std::int32_t* received = nullptr);

// Whether the request can be framed at all: a variable number of five
// digits, and value slots to take the value from or store into (a read of
// 0 to 106 values; a read of none needs no slot).
bool WriteRequestFits(const TransferRequest& request);
bool ReadRequestFits(const TransferRequest& request);

// Writes the value of the first slot to variableNumber. ResultOk when the
// remote computer confirmed it with a sound OK reply.
std::int32_t WriteExchange(DriverInstance* instance, const TransferRequest* request,
                           Attempt& attempt);

// Reads valueCount values from variableNumber on into the slots. After
// ResultOk every slot has been written, after ResultFailed none.
std::int32_t ReadExchange(DriverInstance* instance, const TransferRequest* request,
                          Attempt& attempt);

}  // namespace zelqd::protocol
