// Pseudo-terminal lines with a peer on the far end: the simulator engine
// (the remote computer) or a libmodbus RTU server. The peer runs on a thread
// of this process, or, for the counting runs, in a child process of its own
// so that tracers and instruction counters see the client alone.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "zelsim/pty_pair.h"

namespace bench {

enum class PeerKind { kSimulator, kModbus };

// The register map and slave address of the libmodbus peer.
inline constexpr int kModbusSlave = 1;
inline constexpr int kModbusRegisters = 256;

// A peer serving the master side of a line until it is destroyed.
class Peer {
 public:
  virtual ~Peer() = default;
};

// Starts a peer on fd. paceBaud (simulator only): 0 answers at once,
// otherwise reply bytes go out no faster than that baud rate carries them
// (10 bits per character).
std::unique_ptr<Peer> StartPeer(PeerKind kind, int fd, int paceBaud);

class Line {
 public:
  // inChild: the peer runs in a child process (this program, run with
  // --serve), which ends when the line is destroyed.
  Line(PeerKind kind, int paceBaud, bool inChild);
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // "/dev/pts/N", for clients that open a path.
  const std::string& device() const { return pair_.slaveName(); }
  // "pts/N", the driver's port name for the same device.
  std::string portName() const { return pair_.shortName(); }

 private:
  zelsim::PtyPair pair_;
  std::unique_ptr<Peer> peer_;
  pid_t child_ = -1;
  int lifeline_ = -1;  // closing it ends the child
};

// The path of this program, for the child processes (set by main).
void SetSelfPath(const std::string& path);

// The child side of a Line: serves fd until lifeline reaches its end.
int ServeUntilClosed(PeerKind kind, int fd, int lifeline, int paceBaud);

const char* PeerName(PeerKind kind);
bool ParsePeerName(const std::string& name, PeerKind* kind);

}  // namespace bench
