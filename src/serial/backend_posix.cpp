// Placeholder until the POSIX backend lands: every call fails.
#include "serial/platform.h"

namespace zelqd::serial {
namespace {
Handle Open(const char*) { return kInvalidHandle; }
bool GetState(Handle, DeviceState*) { return false; }
bool SetState(Handle, const DeviceState*) { return false; }
bool GetTimeouts(Handle, Timeouts*) { return false; }
bool SetTimeouts(Handle, const Timeouts*) { return false; }
bool SetQueues(Handle, std::uint32_t, std::uint32_t) { return false; }
bool ClearErrors(Handle, std::uint32_t*) { return false; }
bool Read(Handle, void*, std::uint32_t, std::uint32_t*) { return false; }
bool Write(Handle, const void*, std::uint32_t, std::uint32_t*) { return false; }
bool Close(Handle) { return false; }
constexpr Platform kPosix{Open, GetState, SetState, GetTimeouts, SetTimeouts,
                          SetQueues, ClearErrors, Read, Write, Close};
}  // namespace
const Platform& NativePlatform() { return kPosix; }
}  // namespace zelqd::serial
