#include "secure/key_agreement.h"

#include <cryptopp/asn.h>
#include <cryptopp/eccrypto.h>
#include <cryptopp/oids.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rijndael.h>

#include <algorithm>
#include <array>

#include "secure/crypto_call.h"
#include "secure/fuzzing_build.h"

namespace nevrik {

namespace {

using GroupParameters = CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP>;
using Domain = CryptoPP::ECDH<CryptoPP::ECP>::Domain;

GroupParameters DecodeP256() {
  GroupParameters parameters(CryptoPP::ASN1::secp256r1());
  parameters.SetPointCompression(false);
  return parameters;
}

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds only: the curve is decoded once per thread, as a fuzzer agrees thousands of
// times a second.
GroupParameters P256() {
  thread_local const GroupParameters decoded = DecodeP256();
  return decoded;
}
#else
constexpr auto P256 = DecodeP256;
#endif

}  // namespace

bool GenerateEphemeralKeyPair(CryptoPP::SecByteBlock& privateKey,
                              CryptoPP::SecByteBlock& publicKey) {
  try {
    BeforeCryptoCall(CryptoCall::KeyGeneration);
    const Domain domain(P256());
    CryptoPP::AutoSeededX917RNG<CryptoPP::Rijndael> rng;
    privateKey.New(domain.PrivateKeyLength());
    publicKey.New(domain.PublicKeyLength());
    domain.GenerateKeyPair(rng, privateKey, publicKey);
    return true;
  } catch (const CryptoPP::Exception&) {
    privateKey.CleanNew(0);
    publicKey.CleanNew(0);
    return false;
  }
}

bool PublicKeyFromPrivate(const CryptoPP::SecByteBlock& privateKey,
                          CryptoPP::SecByteBlock& publicKey) {
  BeforeCryptoCall(CryptoCall::KeyGeneration);
  const GroupParameters parameters = P256();
  if (privateKey.size() != PrivateKeySize) {
    return false;
  }
  const CryptoPP::Integer exponent(privateKey.data(), privateKey.size());
  if (exponent.IsZero() || exponent >= parameters.GetSubgroupOrder()) {
    return false;
  }
  publicKey.New(PublicKeySize);
  parameters.EncodeElement(true, parameters.ExponentiateBase(exponent), publicKey);
  return true;
}

namespace {

bool Agree(const CryptoPP::SecByteBlock& privateKey,
           std::span<const std::uint8_t, PublicKeySize> devicePublicKey,
           CryptoPP::SecByteBlock& agreedValue) {
  try {
    BeforeCryptoCall(CryptoCall::KeyAgreement);
    const Domain domain(P256());
    if (domain.Agree(agreedValue, privateKey, devicePublicKey.data(), true)) {
      return true;
    }
  } catch (const CryptoPP::Exception&) {
    // An encoding the library cannot even parse is rejected like a point off the curve.
  }
  CryptoPP::SecureWipeBuffer(agreedValue.data(), agreedValue.size());
  return false;
}

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Fuzzing builds only: a fuzzer that runs whole updates agrees on the same two keys run after
// run, and the point multiplication would take most of each run. The last few agreements used are
// kept with their inputs and handed out again for the same inputs; any other inputs are computed.
// The one used longest ago makes room, so runs with a changed handshake never push out the common
// agreement.
bool AgreeOrRecall(const CryptoPP::SecByteBlock& privateKey,
                   std::span<const std::uint8_t, PublicKeySize> devicePublicKey,
                   CryptoPP::SecByteBlock& agreedValue) {
  struct Agreement {
    CryptoPP::SecByteBlock privateKey;
    std::array<std::uint8_t, PublicKeySize> publicKey{};
    CryptoPP::SecByteBlock value;
    bool agreed = false;
    std::uint64_t lastUse = 0;
  };
  thread_local std::array<Agreement, 4> remembered;
  thread_local std::uint64_t uses = 0;
  ++uses;
  for (Agreement& known : remembered) {
    if (known.privateKey.size() != 0 && known.privateKey == privateKey &&
        std::equal(devicePublicKey.begin(), devicePublicKey.end(), known.publicKey.begin())) {
      known.lastUse = uses;
      agreedValue = known.value;
      return known.agreed;
    }
  }
  Agreement& slot = *std::min_element(
      remembered.begin(), remembered.end(),
      [](const Agreement& left, const Agreement& right) { return left.lastUse < right.lastUse; });
  slot.agreed = Agree(privateKey, devicePublicKey, agreedValue);
  slot.privateKey = privateKey;
  std::copy(devicePublicKey.begin(), devicePublicKey.end(), slot.publicKey.begin());
  slot.value = agreedValue;
  slot.lastUse = uses;
  return slot.agreed;
}
#else
constexpr auto AgreeOrRecall = Agree;
#endif

}  // namespace

bool ComputeSharedSecret(const CryptoPP::SecByteBlock& privateKey,
                         std::span<const std::uint8_t, PublicKeySize> devicePublicKey,
                         CryptoPP::SecByteBlock& agreedValue) {
  agreedValue.CleanNew(AgreedValueSize);
  if (privateKey.size() != PrivateKeySize) {
    return false;
  }
  return AgreeOrRecall(privateKey, devicePublicKey, agreedValue);
}

}  // namespace nevrik
