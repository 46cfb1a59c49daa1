// The driver, loaded at run time the way a host loads it: by its file name,
// and reached only through its one export, ZelMain. zelpoll and zelgw share it.
#pragma once

#include <string>
#include <vector>

#include "zelqd/zelqd.h"

namespace zeltools {

// Where the driver is looked for when no path is given, in order: beside
// the program (in the build tree, a link to the driver built with it; or a
// copied pair), then by its soname through the dynamic loader's search:
// LD_LIBRARY_PATH, the program's run-time path (the installed library
// directory), the system's library directories.
std::vector<std::string> DriverCandidates();

class DriverLibrary {
 public:
  // Loads the library at path, or, if path is empty, the first of
  // DriverCandidates() that loads. Throws std::runtime_error telling what
  // was tried and why it failed.
  explicit DriverLibrary(const std::string& path);
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  ZelMainFunction entry() const { return entry_; }
  // Another export of the library, or nullptr when it has none.
  void* Symbol(const char* name) const;
  // The file that was loaded.
  const std::string& path() const { return path_; }

 private:
  void* handle_ = nullptr;
  ZelMainFunction entry_ = nullptr;
  std::string path_;
};

}  // namespace zeltools
