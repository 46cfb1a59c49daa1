#include "driver/port_control.h"

namespace zelqd {
// Placeholder until port control lands.
std::int32_t OpenPort(const DriverCall*) { return ResultFailed; }
std::int32_t PurgeInput(const DriverCall*) { return ResultFailed; }
std::int32_t Shutdown(const DriverCall*) { return ResultFailed; }
std::int32_t ClosePort(const DriverCall*) { return ResultFailed; }
std::int32_t ReopenPort(const DriverCall*) { return ResultFailed; }
std::int32_t ChangeZelParams(const DriverCall*) { return ResultFailed; }
}  // namespace zelqd
