// What the gateway's service tests share: a simulated remote computer on a
// pseudo-terminal, and small helpers for files and waiting.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "zelsim/engine.h"
#include "zelsim/pty_pair.h"
#include "zelsim/runner.h"

namespace gateway_test {

inline std::string Contents(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Waits up to `limit` for `done`.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// A remote computer on a pseudo-terminal. The gateway reaches it through a
// short symbolic link (port names have at most 11 characters), which is
// pointed at the new pseudo-terminal when the line comes back after a
// hang-up.
class Remote {
 public:
  Remote() {
    char path[] = "/tmp/XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    link_ = path;
    Plug();
  }
  ~Remote() {
    Unplug();
    ::unlink(link_.c_str());
  }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;
  const std::string& port() const { return link_; }

  // options: the wire's pace and the turnaround, as zelsim's --pace and --turnaround-ms.
  void Plug(zelsim::RunnerOptions options = {}) {
    pty_ = std::make_unique<zelsim::PtyPair>();
    ::unlink(link_.c_str());
    if (::symlink(pty_->slaveName().c_str(), link_.c_str()) != 0) ADD_FAILURE() << "symlink";
    runner_ = std::make_unique<zelsim::Runner>(engine_, pty_->master(), options);
    runner_->Start();
  }
  // The far end hangs up: the pseudo-terminal is gone.
  void Unplug() {
    runner_.reset();
    pty_.reset();
  }

  template <typename F>
  auto With(F&& fn) {
    if (runner_) return runner_->WithEngine(std::forward<F>(fn));
    return fn(engine_);
  }
  void Set(int variable, std::uint32_t value) {
    With([&](zelsim::Engine& e) { e.table().Set(variable, value); });
  }
  std::uint32_t Get(int variable) {
    return With([&](zelsim::Engine& e) { return e.table().Get(variable); });
  }
  std::uint64_t Requests() {
    return With([](zelsim::Engine& e) { return e.counters().requests(); });
  }
  std::uint64_t Writes() {
    return With([](zelsim::Engine& e) { return e.counters().writeRequests; });
  }

 private:
  std::string link_;
  zelsim::Engine engine_;
  std::unique_ptr<zelsim::PtyPair> pty_;
  std::unique_ptr<zelsim::Runner> runner_;
};

}  // namespace gateway_test
