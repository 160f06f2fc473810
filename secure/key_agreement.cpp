#include "secure/key_agreement.h"

#include <cryptopp/asn.h>
#include <cryptopp/eccrypto.h>
#include <cryptopp/oids.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rijndael.h>

#include <algorithm>
#include <array>

#include "secure/crypto_call.h"

namespace nevrik {

namespace {

using GroupParameters = CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP>;
using Domain = CryptoPP::ECDH<CryptoPP::ECP>::Domain;

GroupParameters P256() {
  GroupParameters parameters(CryptoPP::ASN1::secp256r1());
  parameters.SetPointCompression(false);
  return parameters;
}

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
// run, and the point multiplication would take most of each run. The last agreement is kept with
// its inputs and handed out again for the same inputs; any other inputs are computed.
bool AgreeOrRecall(const CryptoPP::SecByteBlock& privateKey,
                   std::span<const std::uint8_t, PublicKeySize> devicePublicKey,
                   CryptoPP::SecByteBlock& agreedValue) {
  static CryptoPP::SecByteBlock lastPrivateKey;
  static std::array<std::uint8_t, PublicKeySize> lastPublicKey{};
  static CryptoPP::SecByteBlock lastValue;
  static bool lastAgreed = false;
  if (lastPrivateKey.size() == 0 || lastPrivateKey != privateKey ||
      !std::equal(devicePublicKey.begin(), devicePublicKey.end(), lastPublicKey.begin())) {
    lastAgreed = Agree(privateKey, devicePublicKey, agreedValue);
    lastPrivateKey = privateKey;
    std::copy(devicePublicKey.begin(), devicePublicKey.end(), lastPublicKey.begin());
    lastValue = agreedValue;
  }
  agreedValue = lastValue;
  return lastAgreed;
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
