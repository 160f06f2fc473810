#include "secure/handshake.h"

#include <algorithm>

#include <cryptopp/sha.h>

#include "secure/crypto_call.h"

namespace nevrik {

namespace {

constexpr std::size_t RequestHostIdOffset = 1;
constexpr std::size_t RequestHostIdSize = 8;
constexpr std::size_t RequestKeyOffset = 9;
constexpr std::size_t OtherInfoHostKeyBytes = 16;

constexpr std::size_t ResponseCounterOffset = 1;
constexpr std::size_t ResponseKeyOffset = 33;
constexpr std::size_t ResponseKeySize = 64;

constexpr std::uint8_t UncompressedPoint = 0x04;

}  // namespace

HandshakeRequest BuildHandshakeRequest(std::span<const std::uint8_t, PublicKeySize> hostPublicKey) {
  HandshakeRequest request{};  // leadByte and hostId are zero
  std::copy(hostPublicKey.begin() + 1, hostPublicKey.end(), request.begin() + RequestKeyOffset);
  return request;
}

DeviceKeyFingerprint FingerprintDeviceKey(HandshakeResponseBytes response) {
  DeviceKeyFingerprint fingerprint;
  BeforeCryptoCall(CryptoCall::Hash);
  CryptoPP::SHA256 hash;
  hash.Update(response.data() + ResponseKeyOffset, ResponseKeySize);
  hash.TruncatedFinal(fingerprint.data(), fingerprint.size());
  return fingerprint;
}

OtherInfo BuildOtherInfo(HandshakeRequestBytes request, HandshakeResponseBytes response,
                         const DeviceKeyFingerprint& fingerprint) {
  static constexpr std::uint8_t AlgorithmId[] = {0x09, 0x09, 0x09, 0x09};
  OtherInfo info;
  std::size_t offset = 0;
  const auto item = [&](const std::uint8_t* data, std::size_t size) {
    info[offset++] = static_cast<std::uint8_t>(size);
    std::copy_n(data, size, info.begin() + offset);
    offset += size;
  };
  item(AlgorithmId, sizeof AlgorithmId);
  item(request.data() + RequestHostIdOffset, RequestHostIdSize);
  item(request.data(), 1);
  item(request.data() + RequestKeyOffset, OtherInfoHostKeyBytes);
  item(fingerprint.data(), fingerprint.size());
  item(response.data() + ResponseCounterOffset, SessionKeys::FieldSize);
  item(response.data(), 1);
  return info;
}

void DeriveKeyMaterial(std::uint8_t* output, const std::uint8_t* z, std::size_t zLength,
                       std::span<const std::uint8_t, OtherInfoSize> otherInfo) {
  std::size_t produced = 0;
  for (std::uint8_t counter = 1; produced < KeyMaterialSize; ++counter) {
    const std::uint8_t counterBytes[4] = {0, 0, 0, counter};
    BeforeCryptoCall(CryptoCall::Hash);
    CryptoPP::SHA256 hash;
    hash.Update(counterBytes, sizeof counterBytes);
    hash.Update(z, zLength);
    hash.Update(otherInfo.data(), otherInfo.size());
    const std::size_t take = std::min<std::size_t>(hash.DigestSize(), KeyMaterialSize - produced);
    hash.TruncatedFinal(output + produced, take);
    produced += take;
  }
}

bool DeriveSessionKeys(const CryptoPP::SecByteBlock& privateKey, HandshakeRequestBytes request,
                       HandshakeResponseBytes response, SessionKeys& keys) {
  const DeviceKeyFingerprint fingerprint = FingerprintDeviceKey(response);

  std::array<std::uint8_t, PublicKeySize> devicePublicKey;
  devicePublicKey[0] = UncompressedPoint;
  std::copy_n(response.begin() + ResponseKeyOffset, ResponseKeySize, devicePublicKey.begin() + 1);

  // Both secret blocks zero themselves when they go out of scope.
  CryptoPP::SecByteBlock z;
  if (!ComputeSharedSecret(privateKey, devicePublicKey, z)) {
    return false;
  }
  const OtherInfo otherInfo = BuildOtherInfo(request, response, fingerprint);
  CryptoPP::FixedSizeSecBlock<std::uint8_t, KeyMaterialSize> material;
  DeriveKeyMaterial(material, z, z.size(), otherInfo);

  const std::uint8_t* kept = material + SessionKeys::FieldSize;
  std::copy_n(kept, SessionKeys::FieldSize, keys.reservedKeyA.begin());
  std::copy_n(kept + SessionKeys::FieldSize, SessionKeys::FieldSize, keys.frameKey.begin());
  std::copy_n(kept + 2 * SessionKeys::FieldSize, SessionKeys::FieldSize, keys.reservedKeyB.begin());
  std::copy_n(response.begin() + ResponseCounterOffset, SessionKeys::FieldSize,
              keys.initialCounter.begin());
  return true;
}

}  // namespace nevrik
