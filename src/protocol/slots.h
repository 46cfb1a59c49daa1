// Value slots: 4 bytes of host memory per value, two 16-bit little-endian
// words with the high half of the remote value first. The host may place
// them at any address, so they are only ever accessed byte-wise or by
// memcpy.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "zelqd/zelqd.h"

namespace zelqd::protocol {

inline std::uint8_t* SlotBytes(ValueSlot* values, std::int32_t index) {
  return reinterpret_cast<std::uint8_t*>(values) + 4 * static_cast<std::ptrdiff_t>(index);
}

// The 16-bit halves of a 32-bit number exchanged: turns a slot number (the
// slot read as one little-endian word) into the remote value and back.
constexpr std::uint32_t SwapHalves(std::uint32_t v) { return (v << 16) | (v >> 16); }

// The remote value held in slot index.
inline std::uint32_t LoadValue(ValueSlot* values, std::int32_t index) {
  const std::uint8_t* b = SlotBytes(values, index);
  const std::uint32_t slot =
      static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
      static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  return SwapHalves(slot);
}

// Stores a remote value into slot index.
inline void StoreValue(ValueSlot* values, std::int32_t index, std::uint32_t value) {
  std::uint32_t slot = SwapHalves(value);
  if constexpr (std::endian::native == std::endian::big) slot = __builtin_bswap32(slot);
  std::memcpy(SlotBytes(values, index), &slot, sizeof slot);  // any alignment
}

// Stores count slot numbers (values with their halves exchanged) into the
// slots.
inline void StoreSlotNumbers(ValueSlot* values, const std::uint32_t* slotNumbers,
                             std::int32_t count) {
  if (count <= 0) return;  // a read of no values may come without slots
  if constexpr (std::endian::native == std::endian::little) {
    if (count == 1) {
      std::memcpy(SlotBytes(values, 0), slotNumbers, sizeof(std::uint32_t));  // no call
    } else {
      std::memcpy(SlotBytes(values, 0), slotNumbers, sizeof(std::uint32_t) * count);
    }
  } else {
    for (std::int32_t i = 0; i < count; ++i) StoreValue(values, i, SwapHalves(slotNumbers[i]));
  }
}

// The word at offset 2 of the first slot: the low half of its value.
inline std::uint16_t LoadLowWord(ValueSlot* values) {
  const std::uint8_t* b = SlotBytes(values, 0);
  return static_cast<std::uint16_t>(b[2] | b[3] << 8);
}

inline void StoreLowWord(ValueSlot* values, std::uint16_t word) {
  std::uint8_t* b = SlotBytes(values, 0);
  b[2] = static_cast<std::uint8_t>(word);
  b[3] = static_cast<std::uint8_t>(word >> 8);
}

}  // namespace zelqd::protocol
