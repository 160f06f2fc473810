#include "secure/digest.h"

#include <cryptopp/sha.h>

#include "secure/crypto_call.h"

namespace nevrik {

Sha256Digest Sha256(std::span<const std::uint8_t> data) {
  static_assert(Sha256Size == CryptoPP::SHA256::DIGESTSIZE);
  BeforeCryptoCall(CryptoCall::Hash);
  Sha256Digest digest;
  CryptoPP::SHA256().CalculateDigest(digest.data(), data.data(), data.size());
  return digest;
}

}  // namespace nevrik
