// The device control block on a POSIX terminal: raw termios, the line
// settings, flow control and the DTR/RTS modes.
//
// What termios has no place for:
// - one and a half stop bits: CSTOPB, as for two. A 16550-type UART sends
//   one and a half stop bits with five data bits and two otherwise; a
//   receiver set for one and a half checks only the first stop bit and
//   takes either. Read back as it was applied.
// - DTR handshake: the line has no DTR/DSR input flow control. DTR is
//   raised, which is where the handshake keeps it as long as the input
//   queue has room, and the driver's replies never come near filling it.
// - RTS handshake: CRTSCTS, which holds output while CTS is low as well as
//   lowering RTS when input backs up.
// - RTS toggle: the kernel's RS485 mode (RTS raised while sending) where the
//   device has it; elsewhere RTS stays low, its state between sends.
// - Fields of the block that no termios flag holds (fBinary, the XON/XOFF
//   limits, the error, EOF and event characters, ...) read back as they
//   were last applied.
// A pseudo-terminal carries bytes without framing and has no modem lines:
// its framing is not compared after it is set, and DTR and RTS are left
// alone.
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/platform.h"

namespace zelqd::serial::posix {

// True when the block asks only for what termios can give: a rate above 0,
// 5 to 8 data bits, a parity and stop-bit code of the table, known DTR and
// RTS modes.
bool ValidState(const DeviceState& state);

// current with raw mode and the block's framing and flow control applied
// (the rate is set apart, see speed.h).
termios RawTermios(const termios& current, const DeviceState& state);

// Overwrites the fields of *state that t holds: data bits, parity, stop
// bits, XON/XOFF flow and characters.
void StateFromTermios(const termios& t, DeviceState* state);

// True when fd is the slave side of a pseudo-terminal.
bool IsPseudoTerminal(int fd);

// Overwrites the fields of *state that the terminal's settings hold: baud
// rate, data bits, parity, stop bits, XON/XOFF flow and characters. The
// others keep the values they came with.
bool ReadLine(int fd, DeviceState* state);

// The device's RS485 flags as found, for RestoreRs485; false where the
// device has no RS485 mode.
bool SaveRs485(int fd, std::uint32_t* flags);

// Puts RS485 flags saved by SaveRs485 back, where they differ from those in
// force.
void RestoreRs485(int fd, std::uint32_t flags);

// Validates the block, sets raw mode with its framing, rate and flow
// control, reads the settings back and compares them, then sets DTR and
// RTS. False (errno set) when the block asks what the device cannot do or
// a call fails; the device may then be half configured.
bool ApplyLine(int fd, bool pseudoTerminal, const DeviceState& state);

}  // namespace zelqd::serial::posix
