#include "driver/table.h"

#include <type_traits>

#include "address/address.h"
#include "driver/driver_info.h"
#include "driver/port_control.h"
#include "protocol/transfer.h"

namespace zelqd {
namespace {

// A slot's entry: takes the call block and returns ResultOk, ResultRefused
// or ResultFailed, once Dispatch has checked that the instance and the
// parameter block it needs are present.
using Handler = std::int32_t (*)(const DriverCall* call);

struct TableSlot {
  Handler handler;        // null for a code without a handler
  bool needsInstance;     // the handler reads or writes the instance
  bool needsParams;       // the handler reads or writes the parameter block
  std::int32_t whenNull;  // result for a missing instance or parameter block
};

// What a typed handler takes: the instance, the parameter block, or both.
template <auto Fn>
struct Shape;
template <typename Block, std::int32_t (*Fn)(DriverInstance&, Block&)>
struct Shape<Fn> {
  static constexpr bool kInstance = true;
  static constexpr bool kParams = true;
  static std::int32_t Call(const DriverCall* call) {
    return Fn(*call->instance, *static_cast<Block*>(call->params));
  }
};
template <std::int32_t (*Fn)(DriverInstance&)>
struct Shape<Fn> {
  static constexpr bool kInstance = true;
  static constexpr bool kParams = false;
  static std::int32_t Call(const DriverCall* call) { return Fn(*call->instance); }
};
template <typename Block, std::int32_t (*Fn)(Block&)>
requires(!std::is_same_v<Block, DriverInstance>) struct Shape<Fn> {
  static constexpr bool kInstance = false;
  static constexpr bool kParams = true;
  static std::int32_t Call(const DriverCall* call) {
    return Fn(*static_cast<Block*>(call->params));
  }
};

// The slot of a typed handler; whenNull answers a call without the instance
// or the parameter block that the handler takes.
template <auto Fn>
constexpr TableSlot Slot(std::int32_t whenNull) {
  return {Shape<Fn>::Call, Shape<Fn>::kInstance, Shape<Fn>::kParams, whenNull};
}

constexpr TableSlot kEmpty{nullptr, false, false, ResultFailed};

constexpr TableSlot kTable[kTableSize] = {
    /* 0 */ kEmpty,
    /* 1 */ Slot<OpenPort>(ResultFailed),
    /* 2 */ Slot<PurgeInput>(ResultFailed),
    /* 3 */ Slot<ParseAddress>(ResultRefused),
    /* 4 */ Slot<CheckAddress>(ResultRefused),
    /* 5 */ Slot<ReadVar>(ResultFailed),
    /* 6 */ Slot<ReadBlock>(ResultFailed),
    /* 7 */ Slot<WriteVar>(ResultFailed),
    /* 8 */ kEmpty,
    /* 9 */ kEmpty,
    /* 10 */ Slot<WriteValue>(ResultFailed),
    /* 11 */ Slot<Shutdown>(ResultFailed),
    /* 12 */ Slot<ClosePort>(ResultFailed),
    /* 13 */ Slot<ReopenPort>(ResultFailed),
    /* 14 */ Slot<GetDriverInfo>(ResultFailed),
    /* 15 */ Slot<ChangeZelParams>(ResultFailed),
};

}  // namespace

std::int32_t Dispatch(const DriverCall& call) {
  if (call.code < 0 || call.code >= kTableSize) return ResultFailed;
  const TableSlot& slot = kTable[call.code];
  if (slot.handler == nullptr) return ResultFailed;
  if ((slot.needsInstance && call.instance == nullptr) ||
      (slot.needsParams && call.params == nullptr)) {
    return slot.whenNull;
  }
  return slot.handler(&call);
}

}  // namespace zelqd
