// Replaces the malloc family for the whole process, glibc's documented way,
// forwarding to glibc's own allocator. Frees are not counted: the figure is
// how often the heap is asked for memory.
#include "bench/alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include <malloc.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {
std::atomic<std::uint64_t> allocations{0};
void Count() { allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

std::uint64_t bench::AllocationCount() { return allocations.load(std::memory_order_relaxed); }

extern "C" {

void* malloc(std::size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}

void* realloc(void* p, std::size_t size) noexcept {
  Count();
  return __libc_realloc(p, size);
}

void free(void* p) noexcept { __libc_free(p); }

void* memalign(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  Count();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr && size != 0) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"
