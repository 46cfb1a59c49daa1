// The malloc family of the benchmark process. A definition in the
// executable takes the place of the C library's for every library loaded in
// the process, the driver included; each call is counted on its thread and
// handed to the C library's own implementation, so the heap stays the one
// the C library manages (memory from its other entry points can be freed
// here and the other way round).
#include "alloc_count.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// In the executable's static TLS block: touching it never allocates.
thread_local std::uint64_t t_allocations = 0;

}  // namespace

namespace bench {

std::uint64_t AllocationsOnThisThread() { return t_allocations; }

}  // namespace bench

extern "C" {

void* malloc(size_t size) noexcept {
  ++t_allocations;
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
  ++t_allocations;
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
  ++t_allocations;
  return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept { __libc_free(pointer); }

void* memalign(size_t alignment, size_t size) noexcept {
  ++t_allocations;
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  ++t_allocations;
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  ++t_allocations;
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *out = pointer;
  return 0;
}

}  // extern "C"
