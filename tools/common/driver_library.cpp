#include "driver_library.h"

#include "zelqd_version.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <stdexcept>

namespace zeltools {
namespace {

// The driver's soname: an installed run-time library has no unversioned
// link.
constexpr const char kLibraryName[] = ZELQD_DRIVER_SONAME;

// The directory of the running program, with a trailing slash, or empty.
std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string dir(path, static_cast<std::size_t>(n));
  return dir.substr(0, dir.rfind('/') + 1);
}

}  // namespace

std::vector<std::string> DriverCandidates() {
  std::vector<std::string> out;
  if (const std::string dir = ProgramDirectory(); !dir.empty()) {
    out.push_back(dir + kLibraryName);
  }
  out.push_back(kLibraryName);
  return out;
}

DriverLibrary::DriverLibrary(const std::string& path) {
  const std::vector<std::string> candidates =
      path.empty() ? DriverCandidates() : std::vector<std::string>{path};
  std::string tried;
  for (const std::string& candidate : candidates) {
    // A name with a slash is a file; without one, the loader searches.
    const bool file = candidate.find('/') != std::string::npos;
    if (file && path.empty() && ::access(candidate.c_str(), F_OK) != 0) {
      tried += "\n  " + candidate + ": no such file";
      continue;
    }
    handle_ = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      tried += "\n  " + std::string(::dlerror());
      continue;
    }
    entry_ = reinterpret_cast<ZelMainFunction>(::dlsym(handle_, "ZelMain"));
    if (entry_ == nullptr) {
      tried += "\n  " + candidate + ": no ZelMain";
      ::dlclose(handle_);
      handle_ = nullptr;
      continue;
    }
    path_ = candidate;
    if (Dl_info info{}; ::dladdr(reinterpret_cast<void*>(entry_), &info) != 0 && info.dli_fname) {
      char resolved[PATH_MAX];
      path_ = ::realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
    }
    return;
  }
  throw std::runtime_error("cannot load the driver (give its path with --driver):" + tried);
}

void* DriverLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

DriverLibrary::~DriverLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

}  // namespace zeltools
