// The library's one export.
#include "driver/table.h"
#include "zelqd/zelqd.h"

extern "C" ZELQD_API int32_t ZELQD_CALL ZelMain(const DriverCall* call) {
  if (call == nullptr) return ResultFailed;
  return zelqd::Dispatch(*call);
}
