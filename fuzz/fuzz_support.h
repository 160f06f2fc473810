#pragma once

// What the harnesses share: the input as a stream of bytes, a clock that races ahead and a host
// key pair that never changes.

#include <cryptopp/secblock.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/tick_source.h"
#include "secure/ephemeral_key_source.h"
#include "secure/key_agreement.h"

namespace nevrik::fuzz {

// The fuzzer's bytes, taken from the front. Past the end every byte reads 0.
class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes(bytes) {}
  bool Empty() const { return bytes.empty(); }
  std::uint8_t Byte() {
    const std::span<const std::uint8_t> taken = Take(1);
    return taken.empty() ? 0 : taken[0];
  }
  std::uint16_t Word() {
    const std::uint8_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }
  std::span<const std::uint8_t> Take(std::size_t count) {
    const std::span<const std::uint8_t> taken = bytes.first(std::min(count, bytes.size()));
    bytes = bytes.subspan(taken.size());
    return taken;
  }

 private:
  std::span<const std::uint8_t> bytes;
};

// Starts just before the counter wraps and moves on with every reading, so deadlines pass.
class AdvancingTicks final : public TickSource {
 public:
  std::uint32_t Milliseconds() override { return now += 50; }

 private:
  std::uint32_t now = 0xFFFFF000;
};

// The same host key pair every time, so that a recorded answer stays valid and a run can be
// replayed; made once, as the point multiplication would otherwise dominate every handshake.
class FixedKeySource final : public EphemeralKeySource {
 public:
  FixedKeySource() {
    privateKey.New(PrivateKeySize);
    for (std::size_t i = 0; i < PrivateKeySize; ++i) {
      privateKey[i] = static_cast<std::uint8_t>(i + 1);
    }
    PublicKeyFromPrivate(privateKey, publicKey);
  }

  bool Generate(CryptoPP::SecByteBlock& privateOut, CryptoPP::SecByteBlock& publicOut) override {
    privateOut = privateKey;
    publicOut = publicKey;
    return true;
  }

 private:
  CryptoPP::SecByteBlock privateKey;
  CryptoPP::SecByteBlock publicKey;
};

}  // namespace nevrik::fuzz
