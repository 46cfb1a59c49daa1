#include "protocol/transfer.h"

namespace zelqd {
// Placeholder until the protocol lands.
std::int32_t ReadVar(const DriverCall*) { return ResultFailed; }
std::int32_t ReadBlock(const DriverCall*) { return ResultFailed; }
std::int32_t WriteVar(const DriverCall*) { return ResultFailed; }
std::int32_t WriteValue(const DriverCall*) { return ResultFailed; }
}  // namespace zelqd
