#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace nevrik::test {

// Makes one heap allocation of this thread fail, as the allocator itself would: malloc and its
// relatives return null with ENOMEM, and operator new throws std::bad_alloc (Crypto++ does the
// same for its own buffers). Allocations are counted from Arm to Disarm, from any library, on the
// arming thread only, and not while an AllocationsSpared is alive. Only a program linked with
// nevrik_allocation_failure has it (Linux).
namespace allocation_failure {

// Counts from now on and fails the failAt-th allocation; 0 fails none.
void Arm(std::uint64_t failAt);
// Stops counting; gives the allocations counted since Arm.
std::uint64_t Disarm();
// Allocations made by the code of the loaded library whose path contains library are neither
// counted nor failed, from now on.
void SpareCallersIn(const char* library);
// Whether the armed allocation has failed.
bool Failed();
// Calls callback on this thread just before the armed allocation fails, until set again; the
// callback must not allocate.
void OnFailure(void (*callback)());

// While armed, every heap block this thread releases (outside an AllocationsSpared) is searched
// for secret; Disarm clears it. Whether a released block held it:
void WatchReleasesFor(std::span<const std::uint8_t> secret);
bool SecretReleased();

}  // namespace allocation_failure

// Neither counted nor failed nor watched while it lives: what the other side of the wire does.
class AllocationsSpared {
 public:
  AllocationsSpared();
  ~AllocationsSpared();
  AllocationsSpared(const AllocationsSpared&) = delete;
  AllocationsSpared& operator=(const AllocationsSpared&) = delete;
};

}  // namespace nevrik::test
