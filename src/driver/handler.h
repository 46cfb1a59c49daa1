// The shape shared by every handler of the function table.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

// A handler takes the call block and returns ResultOk, ResultRefused or
// ResultFailed. The table has checked that the instance and the parameter
// block it needs are present.
using Handler = std::int32_t (*)(const DriverCall* call);

// The parameter block of a call, as the record of its code.
template <typename Block>
inline Block* ParamsOf(const DriverCall* call) {
  return static_cast<Block*>(call->params);
}

}  // namespace zelqd
