#include "trace_tap.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zelpoll {
namespace {

// Past this size the file is emptied between calls: a poll that runs for
// weeks must not fill the temporary directory.
constexpr long kTrimAt = 64L * 1024;

}  // namespace

TraceTap::TraceTap(std::FILE* copy) : copy_(copy) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/zelpoll-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a temporary directory for the driver's trace: " +
                             pattern + ": " + std::strerror(errno));
  directory_ = pattern;
  file_ = directory_ + "/trace";
  const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || ::setenv("ZELQD_TRACE", file_.c_str(), 1) != 0) {
    const std::string reason = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    Remove();
    throw std::runtime_error("cannot set up the driver's trace in " + directory_ + ": " + reason);
  }
  ::close(fd);
}

TraceTap::~TraceTap() { Remove(); }

std::vector<std::string> TraceTap::Collect(bool trim) {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  if (file_.empty()) return lines;
  std::FILE* in = std::fopen(file_.c_str(), "rb");
  if (in == nullptr) return lines;
  std::string data;
  if (std::fseek(in, offset_, SEEK_SET) == 0) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data.append(buffer, n);
  }
  (void)std::fclose(in);  // opened for reading only
  offset_ += static_cast<long>(data.size());
  // A writer that does not append may leave a hole after the file was
  // emptied: skip its zero bytes.
  data.erase(std::remove(data.begin(), data.end(), '\0'), data.end());

  data.insert(0, partial_);
  std::size_t start = 0;
  for (std::size_t end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(data.substr(start, end - start));
    if (copy_ != nullptr) {
      std::fputs(lines.back().c_str(), copy_);
      std::fputc('\n', copy_);
    }
  }
  partial_ = data.substr(start);
  if (copy_ != nullptr) (void)std::fflush(copy_);  // the copy is a convenience
  if (trim && partial_.empty() && offset_ > kTrimAt && ::truncate(file_.c_str(), 0) == 0)
    offset_ = 0;
  return lines;
}

void TraceTap::Remove() {
  std::lock_guard lock(mutex_);
  if (directory_.empty()) return;
  ::unlink(file_.c_str());
  ::rmdir(directory_.c_str());
  directory_.clear();
  file_.clear();
}

}  // namespace zelpoll
