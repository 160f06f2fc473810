#pragma once

#include <cryptopp/secblock.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "secure/ephemeral_key_source.h"

namespace nevrik::test {

// Host key pairs from given private keys, one per call in the order given, so a handshake can be
// replayed and its requests checked. When the keys are used up, Generate fails as a broken random
// source would. Every public key handed out is recorded.
class FixedKeySource final : public EphemeralKeySource {
 public:
  explicit FixedKeySource(std::vector<CryptoPP::SecByteBlock> privateKeys);

  // count distinct valid private keys: 32 bytes, all of them 1, then all 2, and so on.
  static FixedKeySource Distinct(std::size_t count);

  bool Generate(CryptoPP::SecByteBlock& privateKey, CryptoPP::SecByteBlock& publicKey) override;

  // The 65-byte public keys handed out so far, in order.
  const std::vector<std::vector<std::uint8_t>>& HandedOut() const { return handedOut; }
  // Calls of Generate, failed ones included.
  unsigned Calls() const { return calls; }

 private:
  std::vector<CryptoPP::SecByteBlock> privateKeys;
  std::vector<std::vector<std::uint8_t>> handedOut;
  unsigned calls = 0;
};

}  // namespace nevrik::test
