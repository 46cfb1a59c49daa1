#include <atomic>

#include "serial/platform.h"

namespace zelqd::serial {
namespace {

std::atomic<const Platform*> g_replacement{nullptr};

}  // namespace

const Platform& ActivePlatform() {
  const Platform* replacement = g_replacement.load(std::memory_order_acquire);
  return replacement != nullptr ? *replacement : NativePlatform();
}

void UsePlatform(const Platform* platform) {
  g_replacement.store(platform, std::memory_order_release);
}

}  // namespace zelqd::serial
