// The 16-slot function table and the dispatch through it.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

inline constexpr std::int32_t kTableSize = 16;

// Calls the handler of the call's code with the instance and the parameter
// block it takes, unpacked from the call block, and returns its result.
// A code without a handler gives ResultFailed; a call without the instance
// or the parameter block that its handler takes gives the slot's answer for
// that, and reaches no handler.
std::int32_t Dispatch(const DriverCall& call);

}  // namespace zelqd
