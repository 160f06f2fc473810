// Replaces the C library's allocator entry points, and operator new, with ones that count (for
// AllocationCount too) and can fail once, then hand over to the real allocator: glibc's own, or
// AddressSanitizer's where the sanitizer owns the allocator (its interceptors stay in charge, so
// LeakSanitizer still sees every block). Defined in the program, they take the place of the C
// library's for every library in the process, Crypto++ included.
#include "tests/support/allocation_failure.h"

#include <errno.h>
#include <link.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "tests/support/allocation_count.h"

#ifdef NEVRIK_ALLOCATOR_IS_SANITIZER
#define NEVRIK_REAL(name) __interceptor_##name
extern "C" std::size_t __sanitizer_get_allocated_size(const volatile void* pointer);
#define NEVRIK_BLOCK_SIZE(pointer) __sanitizer_get_allocated_size(pointer)
#else
#define NEVRIK_REAL(name) __libc_##name
#define NEVRIK_BLOCK_SIZE(pointer) malloc_usable_size(pointer)
#endif

extern "C" {
void* NEVRIK_REAL(malloc)(size_t size);
void* NEVRIK_REAL(calloc)(size_t count, size_t size);
void* NEVRIK_REAL(realloc)(void* pointer, size_t size);
void* NEVRIK_REAL(memalign)(size_t alignment, size_t size);
void* NEVRIK_REAL(valloc)(size_t size);
void* NEVRIK_REAL(pvalloc)(size_t size);
void NEVRIK_REAL(free)(void* pointer);
}

namespace nevrik::test {
namespace {

// Every allocation of the process, from any thread.
std::atomic<std::uint64_t> allocationsMade{0};

// Plain thread-local values: reading them allocates nothing.
thread_local bool armed = false;
thread_local unsigned spared = 0;
thread_local std::uint64_t counted = 0;
thread_local std::uint64_t failAt = 0;
thread_local bool failed = false;
thread_local void (*onFailure)() = nullptr;
thread_local const std::uint8_t* secret = nullptr;
thread_local std::size_t secretSize = 0;
thread_local bool secretReleased = false;

// Code whose allocations are spared: [begin, end) of one library's loaded segments.
const char* sparedLibrary = nullptr;
std::uintptr_t sparedBegin = 0;
std::uintptr_t sparedEnd = 0;

int FindSparedLibrary(dl_phdr_info* info, size_t, void*) {
  if (info->dlpi_name == nullptr || std::strstr(info->dlpi_name, sparedLibrary) == nullptr) {
    return 0;
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD) {
      const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
      sparedBegin = sparedBegin == 0 ? begin : std::min(sparedBegin, begin);
      sparedEnd = std::max<std::uintptr_t>(sparedEnd, begin + segment.p_memsz);
    }
  }
  return 1;
}

// Counts one allocation made from caller; true when it is the one to fail.
bool FailThisOne(const void* caller) {
  allocationsMade.fetch_add(1, std::memory_order_relaxed);
  const auto address = reinterpret_cast<std::uintptr_t>(caller);
  if (!armed || spared != 0 || (address >= sparedBegin && address < sparedEnd)) {
    return false;
  }
  if (++counted != failAt) {
    return false;
  }
  failed = true;
  if (onFailure != nullptr) {
    onFailure();
  }
  errno = ENOMEM;
  return true;
}

void Inspect(void* pointer) {
  if (pointer == nullptr || secret == nullptr || !armed || spared != 0) {
    return;
  }
  const auto* block = static_cast<const std::uint8_t*>(pointer);
  const std::size_t size = NEVRIK_BLOCK_SIZE(pointer);
  if (std::search(block, block + size, secret, secret + secretSize) != block + size) {
    secretReleased = true;
  }
}

// While releases are watched, a block is handed out cleared: a block given back with the secret
// in it then had it written by its own holder, not left over from an earlier one (a simulated
// key's buffer, the test's own typed line, an earlier run).
void* Fresh(void* pointer, std::size_t from = 0) {
  if (pointer != nullptr && secret != nullptr && armed) {
    const std::size_t size = NEVRIK_BLOCK_SIZE(pointer);
    if (from < size) {
      std::memset(static_cast<std::uint8_t*>(pointer) + from, 0, size - from);
    }
  }
  return pointer;
}

void* Allocate(std::size_t size, const void* caller) {
  return FailThisOne(caller) ? nullptr : Fresh(NEVRIK_REAL(malloc)(size == 0 ? 1 : size));
}

void* NewOrThrow(std::size_t size, const void* caller) {
  void* pointer = Allocate(size, caller);
  if (pointer == nullptr) {
    throw std::bad_alloc();
  }
  return pointer;
}

void* AlignedNewOrThrow(std::size_t size, std::align_val_t alignment, const void* caller) {
  void* pointer =
      FailThisOne(caller)
          ? nullptr
          : Fresh(NEVRIK_REAL(memalign)(static_cast<std::size_t>(alignment), size == 0 ? 1 : size));
  if (pointer == nullptr) {
    throw std::bad_alloc();
  }
  return pointer;
}

}  // namespace

std::uint64_t AllocationCount() {
  return allocationsMade.load(std::memory_order_relaxed);
}

void allocation_failure::Arm(std::uint64_t failAtNumber) {
  counted = 0;
  failAt = failAtNumber;
  failed = false;
  secretReleased = false;
  armed = true;
}

std::uint64_t allocation_failure::Disarm() {
  armed = false;
  secret = nullptr;
  secretSize = 0;
  return counted;
}

void allocation_failure::SpareCallersIn(const char* library) {
  sparedLibrary = library;
  sparedBegin = 0;
  sparedEnd = 0;
  dl_iterate_phdr(FindSparedLibrary, nullptr);
}

bool allocation_failure::Failed() {
  return failed;
}

void allocation_failure::OnFailure(void (*callback)()) {
  onFailure = callback;
}

void allocation_failure::WatchReleasesFor(std::span<const std::uint8_t> watched) {
  secret = watched.data();
  secretSize = watched.size();
}

bool allocation_failure::SecretReleased() {
  return secretReleased;
}

AllocationsSpared::AllocationsSpared() {
  ++spared;
}

AllocationsSpared::~AllocationsSpared() {
  --spared;
}

}  // namespace nevrik::test

using nevrik::test::Allocate;
using nevrik::test::FailThisOne;
using nevrik::test::Fresh;
using nevrik::test::Inspect;

#define NEVRIK_CALLER __builtin_return_address(0)

extern "C" {

void* malloc(size_t size) noexcept {
  return FailThisOne(NEVRIK_CALLER) ? nullptr : Fresh(NEVRIK_REAL(malloc)(size));
}

void* calloc(size_t count, size_t size) noexcept {
  return FailThisOne(NEVRIK_CALLER) ? nullptr : NEVRIK_REAL(calloc)(count, size);
}

void* realloc(void* pointer, size_t size) noexcept {
  if (FailThisOne(NEVRIK_CALLER)) {
    return nullptr;
  }
  Inspect(pointer);
  const std::size_t kept = pointer != nullptr ? NEVRIK_BLOCK_SIZE(pointer) : 0;
  return Fresh(NEVRIK_REAL(realloc)(pointer, size), kept);
}

void free(void* pointer) noexcept {
  Inspect(pointer);
  NEVRIK_REAL(free)(pointer);
}

void* memalign(size_t alignment, size_t size) noexcept {
  return FailThisOne(NEVRIK_CALLER) ? nullptr : Fresh(NEVRIK_REAL(memalign)(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  return FailThisOne(NEVRIK_CALLER) ? nullptr : Fresh(NEVRIK_REAL(memalign)(alignment, size));
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  if (FailThisOne(NEVRIK_CALLER)) {
    return ENOMEM;
  }
  void* pointer = NEVRIK_REAL(memalign)(alignment, size);
  if (pointer == nullptr) {
    return ENOMEM;
  }
  *result = Fresh(pointer);
  return 0;
}

void* valloc(size_t size) noexcept {
  return FailThisOne(NEVRIK_CALLER) ? nullptr : Fresh(NEVRIK_REAL(valloc)(size));
}

void* pvalloc(size_t size) noexcept {
  return FailThisOne(NEVRIK_CALLER) ? nullptr : Fresh(NEVRIK_REAL(pvalloc)(size));
}

}  // extern "C"

// operator new on top of the allocator above, so that it fails and is counted the same way
// wherever the C++ runtime would otherwise allocate on its own (AddressSanitizer's does).
void* operator new(std::size_t size) {
  return nevrik::test::NewOrThrow(size, NEVRIK_CALLER);
}
void* operator new[](std::size_t size) {
  return nevrik::test::NewOrThrow(size, NEVRIK_CALLER);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, NEVRIK_CALLER);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, NEVRIK_CALLER);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return nevrik::test::AlignedNewOrThrow(size, alignment, NEVRIK_CALLER);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return nevrik::test::AlignedNewOrThrow(size, alignment, NEVRIK_CALLER);
}
void operator delete(void* pointer) noexcept {
  free(pointer);
}
void operator delete[](void* pointer) noexcept {
  free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
  free(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
  free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept {
  free(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept {
  free(pointer);
}
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  free(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept {
  free(pointer);
}
