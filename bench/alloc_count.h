// Heap allocations made by the calling thread, counted by the benchmark's
// own malloc family (which forwards to the C library's).
#pragma once

#include <cstdint>

namespace bench {

// malloc, calloc, realloc and the aligned forms called on this thread so
// far, from whatever library (operator new included: it calls malloc).
std::uint64_t AllocationsOnThisThread();

}  // namespace bench
