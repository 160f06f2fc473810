// Counts allocations by replacing the C library's allocator entry points with ones that count
// and hand over to glibc's own. Defined in the program (or a preloaded library), they take the
// place of glibc's for every library in the process, Crypto++ and libusb included.
#include <errno.h>
#include <malloc.h>
#include <stdlib.h>

#include <atomic>

#include "tests/support/allocation_count.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<std::uint64_t> allocations{0};

void Count() {
  allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::uint64_t nevrik::test::AllocationCount() {
  return allocations.load(std::memory_order_relaxed);
}

extern "C" {

void* malloc(size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
  Count();
  return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept {
  __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  Count();
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) {
    return ENOMEM;
  }
  *result = pointer;
  return 0;
}

void* valloc(size_t size) noexcept {
  Count();
  return __libc_valloc(size);
}

void* pvalloc(size_t size) noexcept {
  Count();
  return __libc_pvalloc(size);
}

}  // extern "C"
