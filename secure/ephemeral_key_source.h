#pragma once

#include <cryptopp/secblock.h>

namespace nevrik {

// Where the handshake gets the host's ephemeral P-256 key pair for each attempt. The program
// always uses the auto-seeded generator; only code (a test replaying recorded exchanges) can
// hand the session another source.
class EphemeralKeySource {
 public:
  // Sizes privateKey to 32 and publicKey to 65 bytes and fills them; false when no key pair can
  // be made (the operating system's random source failed).
  virtual bool Generate(CryptoPP::SecByteBlock& privateKey, CryptoPP::SecByteBlock& publicKey) = 0;

 protected:
  ~EphemeralKeySource() = default;
};

// A new key pair from a freshly seeded AutoSeededX917RNG<Rijndael> on every call.
EphemeralKeySource& AutoSeededKeySource();

}  // namespace nevrik
