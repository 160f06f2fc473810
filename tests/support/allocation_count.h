#pragma once

#include <cstdint>

namespace nevrik::test {

// Heap allocations this process has made so far, from any library: malloc, calloc, realloc,
// the aligned allocations, and operator new, which allocates through them. Tests compare two
// readings; only a program linked with nevrik_allocation_count has it.
std::uint64_t AllocationCount();

}  // namespace nevrik::test
