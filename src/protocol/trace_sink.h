// Where the frame trace's lines go: a regular file, appended to, or
// standard error. One file per platform gives it.
//
// A file is opened without following a symbolic link, without blocking,
// not inherited by programs the host starts, and created readable and
// writable by its owner only; anything but a regular file (a FIFO, a
// device, a link, a file with other names) is refused, and the trace is
// then off. The host never waits on the trace: a line that cannot be
// written at once is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelqd::trace::sink {

// Opens target ("-": standard error; otherwise a file, appended to).
// Returns false, with nothing open, when it cannot be used.
bool Open(const char* target);

// Writes one whole line, or nothing.
void Write(const char* line, std::size_t size);

// Closes what Open opened (standard error stays open).
void Close();

// The system's text for an error code, always terminated.
void ErrorText(std::uint32_t code, char* text, std::size_t size);

// How the system's error codes are named in a line: "errno" or "error".
extern const char kErrorName[];

}  // namespace zelqd::trace::sink
