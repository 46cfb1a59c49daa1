// The library's one export.
#include "driver/table.h"
#include "zelqd/zelqd.h"

extern "C" ZELQD_API int32_t ZELQD_CALL ZelMain(const DriverCall* call) {
  if (call == nullptr) return ResultFailed;
  const zelqd::TableSlot* slot = zelqd::SlotFor(call->code);
  if (slot == nullptr || slot->handler == nullptr) return ResultFailed;
  if ((slot->needsInstance && call->instance == nullptr) ||
      (slot->needsParams && call->params == nullptr)) {
    return slot->whenNull;
  }
  return slot->handler(call);
}
