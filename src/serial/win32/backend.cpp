// The Win32 backend: the communications and file functions of the system,
// always synchronous (no overlapped structure is ever passed).
//
// A port handle travels through the driver as the 32-bit value of the
// HANDLE that CreateFileA returned. INVALID_HANDLE_VALUE is all ones, the
// same bits as kInvalidHandle; a null handle is never a live one, so every
// call on it fails, as the serial layer expects of a closed port. Handles
// are not inherited by child processes.
//
// The clock is the performance counter, which every Windows since XP has
// and which never wraps in practice.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>

#include "serial/com.h"
#include "serial/platform.h"

namespace zelqd::serial {
namespace {

static_assert(sizeof(DCB) == 28, "the device control block of 32-bit Windows");

// Kernel handles have 32 significant bits on every Windows; widening sign-
// extends, which keeps INVALID_HANDLE_VALUE intact on a 64-bit build.
HANDLE ToNative(Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(handle)));
}

Handle FromNative(HANDLE handle) {
  return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(handle));
}

// The device of a handle is the system's HANDLE itself: nothing to look up.
Device* Find(Handle handle) { return reinterpret_cast<Device*>(ToNative(handle)); }

HANDLE NativeOf(Device* device) { return reinterpret_cast<HANDLE>(device); }

void ToDeviceState(const DCB& dcb, DeviceState* state) {
  state->length = dcb.DCBlength;
  state->baudRate = dcb.BaudRate;
  state->binary = static_cast<std::uint8_t>(dcb.fBinary);
  state->parityCheck = static_cast<std::uint8_t>(dcb.fParity);
  state->outxCtsFlow = static_cast<std::uint8_t>(dcb.fOutxCtsFlow);
  state->outxDsrFlow = static_cast<std::uint8_t>(dcb.fOutxDsrFlow);
  state->dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
  state->dsrSensitivity = static_cast<std::uint8_t>(dcb.fDsrSensitivity);
  state->txContinueOnXoff = static_cast<std::uint8_t>(dcb.fTXContinueOnXoff);
  state->outX = static_cast<std::uint8_t>(dcb.fOutX);
  state->inX = static_cast<std::uint8_t>(dcb.fInX);
  state->errorCharEnabled = static_cast<std::uint8_t>(dcb.fErrorChar);
  state->discardNull = static_cast<std::uint8_t>(dcb.fNull);
  state->rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
  state->abortOnError = static_cast<std::uint8_t>(dcb.fAbortOnError);
  state->dummy2 = dcb.fDummy2;
  state->reserved = dcb.wReserved;
  state->xonLimit = dcb.XonLim;
  state->xoffLimit = dcb.XoffLim;
  state->byteSize = dcb.ByteSize;
  state->parity = dcb.Parity;
  state->stopBits = dcb.StopBits;
  state->xonChar = dcb.XonChar;
  state->xoffChar = dcb.XoffChar;
  state->errorChar = dcb.ErrorChar;
  state->eofChar = dcb.EofChar;
  state->evtChar = dcb.EvtChar;
  state->reserved1 = dcb.wReserved1;
}

// Bit fields take the low bits of each value; the masks say so to the
// compiler as well as to the reader.
DCB FromDeviceState(const DeviceState& state) {
  DCB dcb{};
  dcb.DCBlength = state.length;
  dcb.BaudRate = state.baudRate;
  dcb.fBinary = state.binary & 1u;
  dcb.fParity = state.parityCheck & 1u;
  dcb.fOutxCtsFlow = state.outxCtsFlow & 1u;
  dcb.fOutxDsrFlow = state.outxDsrFlow & 1u;
  dcb.fDtrControl = state.dtrControl & 3u;
  dcb.fDsrSensitivity = state.dsrSensitivity & 1u;
  dcb.fTXContinueOnXoff = state.txContinueOnXoff & 1u;
  dcb.fOutX = state.outX & 1u;
  dcb.fInX = state.inX & 1u;
  dcb.fErrorChar = state.errorCharEnabled & 1u;
  dcb.fNull = state.discardNull & 1u;
  dcb.fRtsControl = state.rtsControl & 3u;
  dcb.fAbortOnError = state.abortOnError & 1u;
  dcb.fDummy2 = state.dummy2 & 0x1FFFFu;
  dcb.wReserved = state.reserved;
  dcb.XonLim = state.xonLimit;
  dcb.XoffLim = state.xoffLimit;
  dcb.ByteSize = state.byteSize;
  dcb.Parity = state.parity;
  dcb.StopBits = state.stopBits;
  dcb.XonChar = state.xonChar;
  dcb.XoffChar = state.xoffChar;
  dcb.ErrorChar = state.errorChar;
  dcb.EofChar = state.eofChar;
  dcb.EvtChar = state.evtChar;
  dcb.wReserved1 = state.reserved1;
  return dcb;
}

Handle Open(const char* name, OpenStep* failed) {
  *failed = OpenStep::kOpen;
  const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return FromNative(h);
}

bool GetState(Device* device, DeviceState* state) {
  DCB dcb{};
  dcb.DCBlength = state->length;
  if (!GetCommState(NativeOf(device), &dcb)) return false;
  ToDeviceState(dcb, state);
  return true;
}

bool SetState(Device* device, const DeviceState* state) {
  DCB dcb = FromDeviceState(*state);
  return SetCommState(NativeOf(device), &dcb) != FALSE;
}

bool GetTimeouts(Device* device, Timeouts* timeouts) {
  COMMTIMEOUTS t{};
  if (!GetCommTimeouts(NativeOf(device), &t)) return false;
  timeouts->readInterval = t.ReadIntervalTimeout;
  timeouts->readTotalMultiplier = t.ReadTotalTimeoutMultiplier;
  timeouts->readTotalConstant = t.ReadTotalTimeoutConstant;
  timeouts->writeTotalMultiplier = t.WriteTotalTimeoutMultiplier;
  timeouts->writeTotalConstant = t.WriteTotalTimeoutConstant;
  return true;
}

bool SetTimeouts(Device* device, const Timeouts* timeouts) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = timeouts->readInterval;
  t.ReadTotalTimeoutMultiplier = timeouts->readTotalMultiplier;
  t.ReadTotalTimeoutConstant = timeouts->readTotalConstant;
  t.WriteTotalTimeoutMultiplier = timeouts->writeTotalMultiplier;
  t.WriteTotalTimeoutConstant = timeouts->writeTotalConstant;
  return SetCommTimeouts(NativeOf(device), &t) != FALSE;
}

bool SetQueues(Device* device, std::uint32_t inputSize, std::uint32_t outputSize) {
  return SetupComm(NativeOf(device), inputSize, outputSize) != FALSE;
}

bool ClearErrors(Device* device, std::uint32_t* waiting) {
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(NativeOf(device), &errors, &stat)) return false;
  *waiting = stat.cbInQue;
  return true;
}

bool Read(Device* device, void* buffer, std::uint32_t count, std::uint32_t* got) {
  DWORD n = 0;
  const BOOL ok = ReadFile(NativeOf(device), buffer, count, &n, nullptr);
  *got = n;
  return ok != FALSE;
}

bool Write(Device* device, const void* bytes, std::uint32_t count, std::uint32_t* written) {
  DWORD n = 0;
  const BOOL ok = WriteFile(NativeOf(device), bytes, count, &n, nullptr);
  *written = n;
  return ok != FALSE;
}

bool Close(Device* device) { return CloseHandle(NativeOf(device)) != FALSE; }

std::uint32_t LastError() { return GetLastError(); }

// What a read or write on a port whose device went away (a USB adapter
// unplugged) fails with; any other error is the system's.
bool HungUp(std::uint32_t error) {
  switch (error) {
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
      return true;
    default:
      return false;
  }
}

std::uint64_t NowMs() { return MonotonicNs() / 1000000; }

constexpr Platform kWin32{
    Open,        Find,      GetState,    SetState, GetTimeouts,
    SetTimeouts, SetQueues, ClearErrors, Read,     Write,
    Close,       LastError, HungUp,      NowMs,    ERROR_FILENAME_EXCED_RANGE};

}  // namespace

std::uint64_t MonotonicNs() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
      !QueryPerformanceCounter(&count)) {
    return static_cast<std::uint64_t>(GetTickCount()) * 1000000;  // not reached on XP and later
  }
  const auto ticks = static_cast<std::uint64_t>(count.QuadPart);
  const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000000000 + ticks % perSecond * 1000000000 / perSecond;
}

const Platform& NativePlatform() { return kWin32; }

}  // namespace zelqd::serial
