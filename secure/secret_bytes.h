#pragma once

#include <cryptopp/misc.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nevrik {

// Overwrites memory with zeros before handing it back, so a secret leaves no copy behind when
// its buffer grows, shrinks to fit or is destroyed.
template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) {}

  T* allocate(std::size_t count) { return std::allocator<T>().allocate(count); }
  void deallocate(T* pointer, std::size_t count) {
    CryptoPP::SecureWipeBuffer(pointer, count);
    std::allocator<T>().deallocate(pointer, count);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const {
    return true;
  }
};

// A secret typed at run time (the SO PIN): growable like any byte buffer, and wiped whenever its
// storage is released, including the old storage when it grows.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Clears a secret's bytes in place as soon as they are no longer needed.
inline void WipeSecret(SecretBytes& secret) {
  CryptoPP::SecureWipeBuffer(secret.data(), secret.size());
  secret.clear();
}

}  // namespace nevrik
