// The shape shared by every slot of the function table: the call block in,
// a host result out. Only the table unpacks call blocks; the handlers it
// calls take the instance and the parameter block as typed references.
#pragma once

#include <cstdint>

#include "zelqd/zelqd.h"

namespace zelqd {

// Returns ResultOk, ResultRefused or ResultFailed. The table has checked
// that the instance and the parameter block it needs are present.
using Handler = std::int32_t (*)(const DriverCall* call);

}  // namespace zelqd
