// Under AddressSanitizer the sanitizer owns the allocator, so it is asked to report every
// allocation (operator new and the aligned ones included) instead of being replaced.
#include <atomic>
#include <cstddef>

#include "tests/support/allocation_count.h"

// Part of the sanitizer runtime's public interface (sanitizer/allocator_interface.h in LLVM's
// runtime; GCC's runtime exports it without shipping the header).
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*mallocHook)(const volatile void* pointer, std::size_t size),
    void (*freeHook)(const volatile void* pointer));

namespace {

std::atomic<std::uint64_t> allocations{0};

void OnAllocation(const volatile void*, std::size_t) {
  allocations.fetch_add(1, std::memory_order_relaxed);
}

void OnRelease(const volatile void*) {}

// Installed before main, while the program starts.
const int hooksInstalled = __sanitizer_install_malloc_and_free_hooks(OnAllocation, OnRelease);

}  // namespace

std::uint64_t nevrik::test::AllocationCount() {
  static_cast<void>(hooksInstalled);
  return allocations.load(std::memory_order_relaxed);
}
