// A pseudo-terminal pair for the simulator: it serves the master side, and
// the driver opens the slave device by its name.
#pragma once

#include <string>

namespace zelsim {

class PtyPair {
 public:
  // Opens a new pair, both ends raw, close-on-exec, the master non-blocking.
  // The slave stays open here too, so that the master keeps working while no
  // driver has the device open. Throws std::system_error.
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }
  int slave() const { return slave_; }

  // "/dev/pts/N".
  const std::string& slaveName() const { return slaveName_; }

  // "pts/N": the name relative to /dev, short enough for any port name field.
  std::string shortName() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slaveName_;
};

}  // namespace zelsim
