#include "support/trace_control.h"

#include "protocol/trace.h"
#include "protocol/trace_sink.h"

namespace zelqd::trace {

bool Start(const char* target) {
  const bool on = sink::Open(target);
  detail::g_state.store(on ? detail::kOn : detail::kOff, std::memory_order_release);
  return on;
}

void Stop() {
  detail::g_state.store(detail::kOff, std::memory_order_release);
  sink::Close();
}

}  // namespace zelqd::trace
