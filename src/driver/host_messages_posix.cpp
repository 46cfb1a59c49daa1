// Messages to the host on POSIX systems.
//
// The host's library is the shared object whose soname is libdravun.so. Its
// err must never be confused with the C library's err(3), which prints and
// then exits the process: the driver therefore never refers to the name err
// at link time. It looks the function up once, at the first message: in the
// copy of libdravun.so already loaded in the process, else in one loaded
// through the normal library search, and keeps it only when the symbol was
// found in that library itself (a lookup through a handle also searches the
// library's dependencies, the C library among them). Without such a
// function, messages go to standard error. So do the messages that come
// while the lookup is under way: the host library's own initialiser may
// make one (a failed open), and must not wait for the lookup that loads
// it.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "driver/host_messages.h"

namespace zelqd {
namespace {

constexpr const char kHostLibrary[] = "libdravun.so";

// Room for the longest message the driver formats, with space to spare; a
// longer one is cut short.
constexpr std::size_t kLineCapacity = 256;

// Writes the formatted message and a newline to standard error with a single
// write, so that concurrent messages do not interleave within a line.
// NOLINTNEXTLINE(cert-dcl50-cpp): the host's err, whose place this takes, is a C variadic.
int WriteToStandardError(int /*code*/, const char* format, ...) {
  char line[kLineCapacity];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return 0;
  // The newline takes the place of the terminator.
  std::size_t size = static_cast<std::size_t>(length);
  if (size > sizeof line - 1) size = sizeof line - 1;
  line[size++] = '\n';
  const ssize_t written = ::write(STDERR_FILENO, line, size);
  static_cast<void>(written);  // nowhere to report a failed write to
  return 0;
}

// err as exported by the host library behind handle, or nullptr when the
// library does not define it itself.
HostErrFunction ErrOf(void* library) {
  void* symbol = ::dlsym(library, "err");
  if (symbol == nullptr) return nullptr;
  link_map* libraryMap = nullptr;
  if (::dlinfo(library, RTLD_DI_LINKMAP, &libraryMap) != 0) return nullptr;
  Dl_info info;
  void* extra = nullptr;
  if (::dladdr1(symbol, &info, &extra, RTLD_DL_LINKMAP) == 0) return nullptr;
  if (static_cast<link_map*>(extra) != libraryMap) return nullptr;
  return reinterpret_cast<HostErrFunction>(symbol);
}

HostErrFunction Resolve() {
  void* library = ::dlopen(kHostLibrary, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) library = ::dlopen(kHostLibrary, RTLD_NOW);
  // A library whose err is kept stays loaded for the life of the process.
  if (library != nullptr) {
    if (HostErrFunction function = ErrOf(library)) return function;
    ::dlclose(library);
  }
  return WriteToStandardError;
}

std::atomic<HostErrFunction> g_function{nullptr};
std::atomic<bool> g_lookupBegun{false};

}  // namespace

HostErrFunction HostErr() {
  if (HostErrFunction function = g_function.load(std::memory_order_acquire)) return function;
  // Only the first caller looks up; any message until it is done, from its
  // own thread or another, goes to the stand-in.
  if (g_lookupBegun.exchange(true, std::memory_order_acq_rel)) {
    HostErrFunction function = g_function.load(std::memory_order_acquire);
    return function != nullptr ? function : WriteToStandardError;
  }
  const HostErrFunction function = Resolve();
  g_function.store(function, std::memory_order_release);
  return function;
}

}  // namespace zelqd
