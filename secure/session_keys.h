#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <cryptopp/misc.h>

namespace nevrik {

// The 64-byte key block a successful handshake leaves with the session. Only frameKey and
// initialCounter are used on the host; the reserved keys are kept for the block's layout.
// Every copy wipes itself when it is destroyed.
struct SessionKeys {
  static constexpr std::size_t FieldSize = 16;

  std::array<std::uint8_t, FieldSize> reservedKeyA{};
  std::array<std::uint8_t, FieldSize> frameKey{};  // AES-128 key of the payload cipher
  std::array<std::uint8_t, FieldSize> reservedKeyB{};
  std::array<std::uint8_t, FieldSize> initialCounter{};  // first counter block, big-endian

  ~SessionKeys() {
    CryptoPP::SecureWipeBuffer(reservedKeyA.data(), FieldSize);
    CryptoPP::SecureWipeBuffer(frameKey.data(), FieldSize);
    CryptoPP::SecureWipeBuffer(reservedKeyB.data(), FieldSize);
    CryptoPP::SecureWipeBuffer(initialCounter.data(), FieldSize);
  }
};

static_assert(sizeof(SessionKeys) == 64);
static_assert(offsetof(SessionKeys, frameKey) == 16);
static_assert(offsetof(SessionKeys, initialCounter) == 48);

}  // namespace nevrik
