#include "tests/support/fixed_key_source.h"

#include <algorithm>
#include <utility>

#include "secure/key_agreement.h"

namespace nevrik::test {

FixedKeySource::FixedKeySource(std::vector<CryptoPP::SecByteBlock> privateKeys)
    : privateKeys(std::move(privateKeys)) {}

FixedKeySource FixedKeySource::Distinct(std::size_t count) {
  std::vector<CryptoPP::SecByteBlock> keys;
  for (std::size_t i = 1; i <= count; ++i) {
    CryptoPP::SecByteBlock key(PrivateKeySize);
    std::fill(key.begin(), key.end(), static_cast<std::uint8_t>(i));
    keys.push_back(std::move(key));
  }
  return FixedKeySource(std::move(keys));
}

bool FixedKeySource::Generate(CryptoPP::SecByteBlock& privateKey,
                              CryptoPP::SecByteBlock& publicKey) {
  const std::size_t next = calls++;
  if (next >= privateKeys.size()) {
    privateKey.CleanNew(0);
    publicKey.CleanNew(0);
    return false;
  }
  privateKey = privateKeys[next];
  if (!PublicKeyFromPrivate(privateKey, publicKey)) {
    return false;
  }
  handedOut.emplace_back(publicKey.begin(), publicKey.end());
  return true;
}

}  // namespace nevrik::test
