// The table of open ports behind the 32-bit handles of the POSIX backend.
//
// A handle is a slot index with a generation above it: a handle that was
// closed never reaches the descriptor of a port opened later in the same
// slot. Looking a handle up is one atomic load; claiming a slot at open is a
// compare-and-swap. Nothing is allocated and no lock is shared between ports.
// The table holds 256 ports open at once in a process.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "serial/platform.h"

namespace zelqd::serial::posix {

inline constexpr std::uint32_t kSlotBits = 8;
inline constexpr std::uint32_t kSlotCount = 1u << kSlotBits;

// What the backend keeps for an open port. Valid only while its handle is
// live; set up by the opener before the handle is published.
struct Port {
  Handle handle;        // the handle it was published under
  int fd;               // -1 once a close released it (see Close)
  pid_t owner;          // the process that opened it
  bool terminal;        // a terminal device: the line calls apply
  bool pseudoTerminal;  // a pseudo-terminal: no framing, no modem lines
  bool locked;          // holds the exclusive flock
  bool wrote;           // the last transfer call was a write (see Read)
  bool rs485Saved;      // rs485Flags holds the device's RS485 flags
  std::uint32_t rs485Flags;
  Timeouts timeouts;  // the handle's time-outs (the kernel has none)
  DeviceState state;  // the block last applied
};

// Reserves a free slot for an open in progress; nullptr when all are taken.
Port* ClaimPort(std::uint32_t* slot);

// Makes a claimed slot's port reachable and returns its new handle
// (never 0, never kInvalidHandle).
Handle PublishPort(std::uint32_t slot);

// Frees a slot, claimed or published.
void ReleasePort(std::uint32_t slot);

// The port of a live handle, or nullptr (0, kInvalidHandle, a closed or
// stale handle).
Port* FindPort(Handle handle);

// The slot a handle names.
inline std::uint32_t SlotOf(Handle handle) { return handle & (kSlotCount - 1); }

}  // namespace zelqd::serial::posix
