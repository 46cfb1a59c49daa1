// Serves the engine on a serial file descriptor, on a thread of its own.
//
// The thread reads requests as they arrive (also while a reply waits to go
// out), hands them to the engine and puts the replies on the line one after
// the other: after the turnaround and the waits the faults asked for, and,
// with pacing, no faster than the wire of the given baud rate would carry
// them. With pacing a request also counts as received only when its last
// byte would have arrived: the wire time of its bytes after its first byte
// came. Stop() ends it promptly, also in the middle of a wait.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "zelsim/engine.h"
#include "zelsim/trace.h"

namespace zelsim {

// Bits a character takes on the wire: the start bit, the data bits, the
// parity bit if any and the stop bits.
constexpr int CharacterBits(int dataBits, bool parity, int stopBits) {
  return 1 + dataBits + (parity ? 1 : 0) + stopBits;
}

struct RunnerOptions {
  int paceBaud = 0;           // 0: requests and replies take no wire time
  int bitsPerCharacter = 10;  // CharacterBits of the line's framing
  int turnaroundMs = 0;       // from the end of a request to its reply's first byte
  Trace* trace = nullptr;     // nullptr: no trace
};

class Runner {
 public:
  // fd stays the caller's; it must outlive the runner.
  Runner(Engine& engine, int fd, RunnerOptions options = {});
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Starts the thread. Throws std::system_error.
  void Start();
  // Stops the thread and waits for it; does nothing when it is not running.
  void Stop();

  // Runs fn(engine) while the serving thread keeps off the engine.
  template <typename F>
  decltype(auto) WithEngine(F&& fn) {
    std::lock_guard lock(mutex_);
    return std::forward<F>(fn)(engine_);
  }

  // Why the thread ended on its own (a failed read or write), or empty.
  std::string error() const;

  // Seconds since Start().
  double Elapsed() const;

 private:
  // A reply on its way out: its chunks go out one after the other.
  struct Outgoing {
    Exchange exchange;
    std::chrono::steady_clock::time_point arrived;  // when its request's last byte came in
    std::size_t next = 0;                           // the chunk to send next
    bool scheduled = false;                         // due holds the next chunk's time
    std::chrono::steady_clock::time_point due{};
  };

  void Serve();
  // Reads what the line brought and hands it to the engine; false when the
  // thread must end.
  bool Receive();
  // Sends the chunks that are due; false when the thread must end.
  bool SendDue();
  // Waits until the deadline; false when stopped meanwhile.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  // Waits for the fd to take more bytes; false when stopped meanwhile.
  bool WaitWritable();
  bool WriteAll(std::span<const std::uint8_t> bytes);
  bool WritePaced(std::span<const std::uint8_t> bytes);
  void SetError(std::string text);
  // How long the wire takes for one character; zero without pacing.
  std::chrono::nanoseconds CharacterTime() const;

  Engine& engine_;
  int fd_;
  RunnerOptions options_;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  mutable std::mutex errorMutex_;
  std::string error_;
  std::chrono::steady_clock::time_point start_{};
  std::atomic<bool> stopping_{false};
  // Owned by the serving thread.
  std::deque<Outgoing> queue_;
  std::chrono::steady_clock::time_point lineFree_{};
  // When the line finished carrying the last byte received.
  std::chrono::steady_clock::time_point inputCarried_{};
  bool hungUp_ = false;
  std::chrono::steady_clock::time_point readAgainAt_{};
};

}  // namespace zelsim
