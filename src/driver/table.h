// The 16-slot function table.
#pragma once

#include <cstdint>

#include "driver/handler.h"

namespace zelqd {

inline constexpr std::int32_t kTableSize = 16;

struct TableSlot {
  Handler handler;        // null for a code without a handler
  bool needsInstance;     // the handler reads or writes the instance
  bool needsParams;       // the handler reads or writes the parameter block
  std::int32_t whenNull;  // result for a missing instance or parameter block
};

// The slot of a code, or nullptr for a code outside the table.
const TableSlot* SlotFor(std::int32_t code);

}  // namespace zelqd
