// The trace's lines on POSIX systems: a descriptor above the standard
// streams, close-on-exec, opened with O_NOFOLLOW and O_NONBLOCK; a path
// that names anything but a regular file is not even opened.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "protocol/trace_sink.h"

namespace zelqd::trace::sink {
namespace {

std::atomic<int> g_fd{-1};
std::atomic<bool> g_owned{false};

// The descriptor moved to 3 or above (close-on-exec kept), or -1.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

// A regular file with no other name.
bool PlainFile(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_nlink == 1; }

int OpenFile(const char* path) {
  struct stat st {};
  if (lstat(path, &st) == 0 && !PlainFile(st)) return -1;
  const int fd = AboveStandardStreams(open(
      path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !PlainFile(st)) {
    close(fd);
    return -1;
  }
  return fd;
}

// The C library has two strerror_r: one returns the text, the other an int
// and the text in the buffer.
[[maybe_unused]] const char* TextOf(const char* text, const char*) { return text; }
[[maybe_unused]] const char* TextOf(int, const char* buffer) { return buffer; }

}  // namespace

const char kErrorName[] = "errno";

bool Open(const char* target) {
  Close();
  if (target == nullptr || target[0] == '\0') return false;
  const bool standardError = std::strcmp(target, "-") == 0;
  const int fd = standardError ? STDERR_FILENO : OpenFile(target);
  if (fd < 0) return false;
  g_owned.store(!standardError);
  g_fd.store(fd, std::memory_order_release);
  return true;
}

void Write(const char* line, std::size_t size) {
  const int fd = g_fd.load(std::memory_order_acquire);
  if (fd < 0) return;
  // Standard error may be a pipe or a terminal that takes nothing now.
  if (!g_owned.load(std::memory_order_relaxed)) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return;
  }
  while (write(fd, line, size) < 0 && errno == EINTR) {
  }
}

void Close() {
  const int fd = g_fd.exchange(-1);
  if (fd >= 0 && g_owned.exchange(false)) close(fd);
}

void ErrorText(std::uint32_t code, char* text, std::size_t size) {
  if (size == 0) return;
  char buffer[128] = "unknown error";
  const char* found = TextOf(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  std::strncpy(text, found != nullptr ? found : "unknown error", size - 1);
  text[size - 1] = '\0';
}

}  // namespace zelqd::trace::sink
