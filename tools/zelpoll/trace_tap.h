// The driver's trace, tapped. Before the driver's first call zelpoll points
// ZELQD_TRACE at a file of its own in a private temporary directory; after
// each call it reads the lines the driver appended (one an attempt, one a
// failed open), copies them where --trace asks, and at the end removes the
// directory.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace zelpoll {

class TraceTap {
 public:
  // Makes the directory and the file and sets ZELQD_TRACE for this process
  // (the driver reads it once, at its first transfer or failed open). copy
  // receives the lines too; nullptr: nowhere. Throws std::runtime_error.
  explicit TraceTap(std::FILE* copy);
  ~TraceTap();
  TraceTap(const TraceTap&) = delete;
  TraceTap& operator=(const TraceTap&) = delete;

  // The whole lines the driver appended since the last call. trim: the
  // driver is between calls, so a large file may be emptied.
  std::vector<std::string> Collect(bool trim = true);

  // Removes the file and the directory; Collect then finds nothing.
  void Remove();

  const std::string& file() const { return file_; }

 private:
  std::mutex mutex_;
  std::string directory_;
  std::string file_;
  long offset_ = 0;
  std::string partial_;  // the start of a line still being written
  std::FILE* copy_;
};

}  // namespace zelpoll
