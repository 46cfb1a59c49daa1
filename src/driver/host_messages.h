// Messages to the host application.
//
// The host receives the driver's few messages through a function named err
// that its own library exports (libdravun.so, DRAVUN.DLL on Windows): an
// integer code, a printf-style format and the format's arguments. How that
// function is reached is the platform's affair, so each platform has one
// file that implements HostErr(); the callers only call what it returns.
#pragma once

namespace zelqd {

// The code that every message of the driver carries.
inline constexpr int kHostMessageCode = 32;

// The shape of the host's err: code, printf-style format, arguments. The
// caller removes the arguments; the result means nothing to the driver.
using HostErrFunction = int (*)(int code, const char* format, ...);

// The function that receives the driver's messages; never null. Where the
// platform finds no host library, it is a stand-in that writes each message
// to standard error as one line.
HostErrFunction HostErr();

}  // namespace zelqd
