#include "driver/table.h"

#include "address/address.h"
#include "driver/driver_info.h"
#include "driver/port_control.h"
#include "protocol/transfer.h"

namespace zelqd {
namespace {

constexpr TableSlot kEmpty{nullptr, false, false, ResultFailed};

constexpr TableSlot kTable[kTableSize] = {
    /* 0 */ kEmpty,
    /* 1 */ {OpenPort, true, true, ResultFailed},
    /* 2 */ {PurgeInput, true, false, ResultFailed},
    /* 3 */ {ParseAddress, false, true, ResultRefused},
    /* 4 */ {CheckAddress, false, true, ResultRefused},
    /* 5 */ {ReadVar, true, true, ResultFailed},
    /* 6 */ {ReadBlock, true, true, ResultFailed},
    /* 7 */ {WriteVar, true, true, ResultFailed},
    /* 8 */ kEmpty,
    /* 9 */ kEmpty,
    /* 10 */ {WriteValue, true, true, ResultFailed},
    /* 11 */ {Shutdown, true, false, ResultFailed},
    /* 12 */ {ClosePort, true, false, ResultFailed},
    /* 13 */ {ReopenPort, true, false, ResultFailed},
    /* 14 */ {GetDriverInfo, false, true, ResultFailed},
    /* 15 */ {ChangeZelParams, true, true, ResultFailed},
};

}  // namespace

const TableSlot* SlotFor(std::int32_t code) {
  if (code < 0 || code >= kTableSize) return nullptr;
  return &kTable[code];
}

}  // namespace zelqd
