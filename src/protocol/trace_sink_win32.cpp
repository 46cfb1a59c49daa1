// The trace's lines on Windows: a file opened for appending, never
// inherited, without following a reparse point; anything that is not a
// file on a disk (a pipe, a console, a device) is refused.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstring>

#include "protocol/trace_sink.h"

namespace zelqd::trace::sink {
namespace {

std::atomic<HANDLE> g_handle{nullptr};
std::atomic<bool> g_owned{false};

HANDLE OpenFile(const char* path) {
  const HANDLE h =
      CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

}  // namespace

const char kErrorName[] = "error";

bool Open(const char* target) {
  Close();
  if (target == nullptr || target[0] == '\0') return false;
  const bool standardError = std::strcmp(target, "-") == 0;
  HANDLE h = standardError ? GetStdHandle(STD_ERROR_HANDLE) : OpenFile(target);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  g_owned.store(!standardError);
  g_handle.store(h, std::memory_order_release);
  return true;
}

void Write(const char* line, std::size_t size) {
  const HANDLE h = g_handle.load(std::memory_order_acquire);
  if (h == nullptr) return;
  DWORD written = 0;
  WriteFile(h, line, static_cast<DWORD>(size), &written, nullptr);
}

void Close() {
  const HANDLE h = g_handle.exchange(nullptr);
  if (h != nullptr && g_owned.exchange(false)) CloseHandle(h);
}

void ErrorText(std::uint32_t code, char* text, std::size_t size) {
  if (size == 0) return;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, static_cast<DWORD>(size), nullptr);
  if (n == 0) {
    std::strncpy(text, "unknown error", size - 1);
    text[size - 1] = '\0';
    return;
  }
  // Without the line end the system puts after its text.
  std::size_t length = n < size ? n : size - 1;
  while (length > 0 &&
         (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) {
    --length;
  }
  text[length] = '\0';
}

}  // namespace zelqd::trace::sink
