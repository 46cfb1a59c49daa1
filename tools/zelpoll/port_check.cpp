#include "port_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace zelpoll {
namespace {

enum class Trouble { None, Missing, Permission, InUse, NotSerial, Other };

struct Finding {
  Trouble trouble = Trouble::None;
  int error = 0;
  std::string step;
  std::string text;  // the system's words, when they are all there is
};

Trouble TroubleOf(int error, const std::string& step) {
  if (step == "lock" || step == "exclusive") return Trouble::InUse;
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return Trouble::Missing;
    case EACCES:
    case EPERM:
      return Trouble::Permission;
    case EBUSY:
    case EWOULDBLOCK:
      return Trouble::InUse;
    case ENOTTY:
    case EISDIR:
      return Trouble::NotSerial;
    case EINVAL:
      return step == "settings" ? Trouble::NotSerial : Trouble::Other;
    default:
      return Trouble::Other;
  }
}

// Opens the device as the driver does and lets go of it at once.
Finding Probe(const std::string& path) {
  Finding f;
  f.step = "open";
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    f.error = errno;
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    f.error = errno;
    f.step = "lock";
  } else {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
      f.error = errno;
      f.step = "settings";
    }
  }
  if (fd >= 0) ::close(fd);
  if (f.error != 0) {
    f.trouble = TroubleOf(f.error, f.step);
    f.text = std::strerror(f.error);
  }
  return f;
}

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string FirstLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The USB serial devices present, as a hint for a name that is not there.
std::string PresentDevices() {
  std::vector<std::string> names;
  if (DIR* dev = ::opendir("/dev")) {
    while (const dirent* e = ::readdir(dev)) {
      const std::string name = e->d_name;
      if (name.starts_with("ttyUSB") || name.starts_with("ttyACM")) names.push_back(name);
    }
    ::closedir(dev);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

std::string Missing(const std::string& path, const Finding& f) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0) {
    const std::string present = PresentDevices();
    return "no such device: " + path + " does not exist" +
           (present.empty() ? std::string() : " (USB serial devices present: " + present + ")");
  }
  if (S_ISLNK(link.st_mode)) {
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0)
      return "no such device: " + path + " is a link to " + ReadLink(path) +
             ", which does not exist";
  }
  return "no such device: no device answers at " + path + " (" + f.text + ")";
}

std::string ModeText(mode_t mode) {
  std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : S_ISREG(mode) ? "-" : "?";
  const char* letters = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) text += (mode & (0400 >> i)) ? letters[i] : '-';
  return text;
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p != nullptr ? p->pw_name : std::to_string(uid);
}

bool InGroupNow(gid_t gid) {
  if (::getegid() == gid) return true;
  gid_t groups[NGROUPS_MAX];
  const int n = ::getgroups(NGROUPS_MAX, groups);
  return std::find(groups, groups + std::max(n, 0), gid) != groups + std::max(n, 0);
}

// Whether the group lists the user, so that a new login would have it.
bool ListedInGroup(gid_t gid, const std::string& user) {
  const group* g = ::getgrgid(gid);
  if (g == nullptr) return false;
  for (char** member = g->gr_mem; *member != nullptr; ++member) {
    if (user == *member) return true;
  }
  return false;
}

std::string Permission(const std::string& path) {
  struct stat s {};
  if (::stat(path.c_str(), &s) != 0) return "permission denied: " + path;
  const std::string group = GroupName(s.st_gid);
  const std::string user = UserName(::geteuid());
  std::string out = "permission denied: " + path + " is " + ModeText(s.st_mode) + " " +
                    UserName(s.st_uid) + ":" + group;
  if (InGroupNow(s.st_gid)) return out + ", and the group's rights do not let " + user + " in";
  if (ListedInGroup(s.st_gid, user))
    return out + "; " + user + " was added to group " + group +
           " after this login: log in again (or run newgrp " + group + ")";
  return out + " and " + user + " is not in group " + group +
         "; add the user with sudo usermod -aG " + group + " " + user + " and log in again";
}

std::string InUse(const std::string& path, const Finding& f) {
  const auto holders = DeviceHolders(path);
  if (!holders.empty()) {
    std::string names;
    for (const auto& h : holders) names += (names.empty() ? "" : ", ") + h;
    return "in use: " + path + " is held by " + names;
  }
  return "in use: another program holds " + path +
         (f.step == "lock" ? " (it is locked)" : " (it is opened exclusively)") +
         ", and the system does not say which";
}

std::string NotSerial(const std::string& path) {
  struct stat s {};
  std::string what = "not a terminal";
  if (::stat(path.c_str(), &s) == 0) {
    if (S_ISDIR(s.st_mode)) what = "a directory";
    if (S_ISREG(s.st_mode)) what = "a regular file";
  }
  return "not a serial device: " + path + " is " + what;
}

std::string Words(const std::string& path, const Finding& f) {
  switch (f.trouble) {
    case Trouble::Missing:
      return Missing(path, f);
    case Trouble::Permission:
      return Permission(path);
    case Trouble::InUse:
      return InUse(path, f);
    case Trouble::NotSerial:
      return NotSerial(path);
    case Trouble::Other:
      return "cannot open " + path + ": " + (f.step.empty() ? "" : f.step + ": ") + f.text;
    case Trouble::None:
      break;
  }
  return "OpenPort failed, but " + path + " opens now: the trouble has passed";
}

}  // namespace

std::string DevicePath(const std::string& portName) {
  if (portName == "NUL") return "/dev/null";
  if (portName.starts_with("/")) return portName;
  std::string rest = portName.starts_with("\\\\.\\") ? portName.substr(4) : portName;
  if (rest.size() > 3 && (rest[0] | 0x20) == 'c' && (rest[1] | 0x20) == 'o' &&
      (rest[2] | 0x20) == 'm' && rest[3] >= '1' && rest[3] <= '9' && rest.size() <= 12 &&
      std::all_of(rest.begin() + 3, rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return "/dev/ttyS" + std::to_string(std::stoul(rest.substr(3)) - 1);
  return "/dev/" + rest;
}

DeviceIdentity IdentifyDevice(const std::string& path) {
  DeviceIdentity id;
  struct stat s {};
  if (::stat(path.c_str(), &s) != 0) return id;
  id.exists = true;
  id.device = s.st_rdev;
  id.filesystem = s.st_dev;
  id.inode = s.st_ino;
  return id;
}

std::vector<std::string> DeviceHolders(const std::string& path) {
  const DeviceIdentity id = IdentifyDevice(path);
  if (!id.exists) return {};
  const pid_t self = ::getpid();
  const auto named = [](pid_t pid) {
    return FirstLine("/proc/" + std::to_string(pid) + "/comm") + " (PID " + std::to_string(pid) +
           ")";
  };
  std::vector<pid_t> pids;

  // Locks: "1: FLOCK  ADVISORY  WRITE 4242 00:05:123 0 EOF"; waiters carry "->".
  char node[64];
  std::snprintf(node, sizeof node, "%02x:%02x:%lu", major(id.filesystem), minor(id.filesystem),
                static_cast<unsigned long>(id.inode));
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> mode >> access >> pid >> where;
    // NOLINTNEXTLINE(cert-err34-c): what is not a process number gives 0, which is skipped.
    const pid_t holder = static_cast<pid_t>(std::atol(pid.c_str()));
    if (where == node && holder > 0 && holder != self) pids.push_back(holder);
  }

  // Otherwise whoever has the device open.
  if (pids.empty()) {
    if (DIR* proc = ::opendir("/proc")) {
      while (const dirent* e = ::readdir(proc)) {
        // NOLINTNEXTLINE(cert-err34-c): names that are not numbers give 0, which is skipped.
        const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        if (pid <= 0 || pid == self) continue;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (dir == nullptr) continue;
        while (const dirent* fd = ::readdir(dir)) {
          struct stat s {};
          if (fd->d_name[0] == '.' || ::stat((fds + "/" + fd->d_name).c_str(), &s) != 0) continue;
          if (S_ISCHR(s.st_mode) && s.st_rdev == id.device) {
            pids.push_back(pid);
            break;
          }
        }
        ::closedir(dir);
      }
      ::closedir(proc);
    }
  }
  std::sort(pids.begin(), pids.end());
  pids.erase(std::unique(pids.begin(), pids.end()), pids.end());
  std::vector<std::string> out;
  out.reserve(pids.size());
  for (pid_t pid : pids) out.push_back(named(pid));
  return out;
}

void ReleaseExclusive(const DeviceIdentity& device) {
  if (!device.exists) return;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (const dirent* e = ::readdir(dir)) {
    // NOLINTNEXTLINE(cert-err34-c): "." and ".." give 0 and are skipped below.
    const int fd = std::atoi(e->d_name);
    struct stat s {};
    if (e->d_name[0] == '.' || ::fstat(fd, &s) != 0) continue;
    if (S_ISCHR(s.st_mode) && s.st_rdev == device.device) ::ioctl(fd, TIOCNXCL);
  }
  ::closedir(dir);
}

std::string OpenFailureReason(const std::string& portName, const zeltools::Outcome* failure) {
  const std::string path = DevicePath(portName);
  const bool recorded = failure != nullptr && failure->reason == ZELQD_REASON_OPEN_FAILED;
  const std::string text = recorded && failure->systemError != 0
                               ? std::generic_category().message(failure->systemError)
                               : std::string("no such device name");
  if (recorded && failure->openStep == ZELQD_OPEN_STEP_NAME)
    return "the port name " + portName + " cannot be used: " + text;
  if (recorded && failure->systemError != 0) {
    Finding f;
    f.error = failure->systemError;
    f.step = std::string(zeltools::OpenStepName(failure->openStep));
    f.text = text;
    f.trouble = TroubleOf(f.error, f.step);
    return Words(path, f);
  }
  return Words(path, Probe(path));
}

}  // namespace zelpoll
