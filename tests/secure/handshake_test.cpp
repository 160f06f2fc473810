#include "secure/handshake.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tests/secure/vector_file.h"

namespace nevrik {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Request = std::array<std::uint8_t, HandshakeRequestSize>;
using Response = std::array<std::uint8_t, HandshakeResponseSize>;

template <std::size_t Size>
std::array<std::uint8_t, Size> Fixed(const Bytes& bytes) {
  std::array<std::uint8_t, Size> fixed{};
  EXPECT_EQ(bytes.size(), Size);
  std::copy_n(bytes.begin(), std::min(Size, bytes.size()), fixed.begin());
  return fixed;
}

Bytes ToBytes(const SessionKeys& keys) {
  Bytes bytes;
  for (const auto* field :
       {&keys.reservedKeyA, &keys.frameKey, &keys.reservedKeyB, &keys.initialCounter}) {
    bytes.insert(bytes.end(), field->begin(), field->end());
  }
  return bytes;
}

SessionKeys PatternKeys() {
  SessionKeys keys;
  keys.reservedKeyA.fill(0x11);
  keys.frameKey.fill(0x22);
  keys.reservedKeyB.fill(0x33);
  keys.initialCounter.fill(0x44);
  return keys;
}

std::vector<test::VectorRecord> Vectors(const std::string& result) {
  std::vector<test::VectorRecord> selected;
  for (auto& record : test::ReadVectorFile("handshake.txt")) {
    if (record.Text("Result") == result) {
      selected.push_back(std::move(record));
    }
  }
  return selected;
}

CryptoPP::SecByteBlock PrivateKey(const test::VectorRecord& record) {
  const Bytes bytes = record.Bytes("HostPrivateKey");
  return CryptoPP::SecByteBlock(bytes.data(), bytes.size());
}

TEST(Handshake, MatchesIndependentlyComputedVectors) {
  const auto records = Vectors("accept");
  ASSERT_GE(records.size(), 6u) << "handshake.txt is missing or incomplete";
  bool sawAllOnesCounter = false;
  for (const auto& record : records) {
    SCOPED_TRACE(record.Text("Comment"));
    const CryptoPP::SecByteBlock privateKey = PrivateKey(record);
    const Request request = Fixed<HandshakeRequestSize>(record.Bytes("Request"));
    const Response response = Fixed<HandshakeResponseSize>(record.Bytes("Response"));

    CryptoPP::SecByteBlock publicKey;
    ASSERT_TRUE(PublicKeyFromPrivate(privateKey, publicKey));
    ASSERT_EQ(Bytes(publicKey.begin(), publicKey.end()), record.Bytes("HostPublicKey"));
    EXPECT_EQ(BuildHandshakeRequest(Fixed<PublicKeySize>(record.Bytes("HostPublicKey"))), request);

    const DeviceKeyFingerprint fingerprint = FingerprintDeviceKey(response);
    EXPECT_EQ(Bytes(fingerprint.begin(), fingerprint.end()), record.Bytes("Fingerprint"));

    std::array<std::uint8_t, PublicKeySize> deviceKey;
    deviceKey[0] = 0x04;
    std::copy(response.begin() + 33, response.end(), deviceKey.begin() + 1);
    CryptoPP::SecByteBlock z;
    ASSERT_TRUE(ComputeSharedSecret(privateKey, deviceKey, z));
    EXPECT_EQ(Bytes(z.begin(), z.end()), record.Bytes("Z"));

    const OtherInfo otherInfo = BuildOtherInfo(request, response, fingerprint);
    EXPECT_EQ(Bytes(otherInfo.begin(), otherInfo.end()), record.Bytes("OtherInfo"));

    const Bytes expectedZ = record.Bytes("Z");
    std::array<std::uint8_t, KeyMaterialSize> material{};
    DeriveKeyMaterial(material.data(), expectedZ.data(), expectedZ.size(),
                      Fixed<OtherInfoSize>(record.Bytes("OtherInfo")));
    EXPECT_EQ(Bytes(material.begin(), material.end()), record.Bytes("KeyMaterial"));

    SessionKeys keys;
    ASSERT_TRUE(DeriveSessionKeys(privateKey, request, response, keys));
    EXPECT_EQ(ToBytes(keys), record.Bytes("SessionKeys"));

    sawAllOnesCounter =
        sawAllOnesCounter || std::all_of(keys.initialCounter.begin(), keys.initialCounter.end(),
                                         [](auto b) { return b == 0xFF; });
  }
  EXPECT_TRUE(sawAllOnesCounter) << "no vector with initialCounter all 0xFF";
}

TEST(Handshake, RejectedDeviceKeyLeavesTheKeysUntouched) {
  const auto records = Vectors("reject");
  ASSERT_EQ(records.size(), 2u) << "handshake.txt is missing or incomplete";
  for (const auto& record : records) {
    SCOPED_TRACE(record.Text("Comment"));
    SessionKeys keys = PatternKeys();
    bool derived = true;
    EXPECT_NO_THROW(derived = DeriveSessionKeys(
                        PrivateKey(record), Fixed<HandshakeRequestSize>(record.Bytes("Request")),
                        Fixed<HandshakeResponseSize>(record.Bytes("Response")), keys));
    EXPECT_FALSE(derived);
    EXPECT_EQ(ToBytes(keys), ToBytes(PatternKeys()));
  }
}

TEST(Handshake, RequestCarriesOnlyTheHostKeyAfterNineZeroBytes) {
  CryptoPP::SecByteBlock privateKey, publicKey;
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateKey, publicKey));
  const Request request = BuildHandshakeRequest(
      std::span<const std::uint8_t, PublicKeySize>(publicKey.data(), PublicKeySize));
  EXPECT_TRUE(std::all_of(request.begin(), request.begin() + 9, [](auto b) { return b == 0; }));
  EXPECT_TRUE(std::equal(request.begin() + 9, request.end(), publicKey.begin() + 1));
}

class HandshakeResponse : public testing::Test {
 protected:
  void SetUp() override {
    const auto records = Vectors("accept");
    ASSERT_FALSE(records.empty()) << "handshake.txt is missing";
    privateKey = PrivateKey(records[0]);
    request = Fixed<HandshakeRequestSize>(records[0].Bytes("Request"));
    response = Fixed<HandshakeResponseSize>(records[0].Bytes("Response"));
    ASSERT_TRUE(DeriveSessionKeys(privateKey, request, response, original));
  }

  SessionKeys Derive(const Response& changed) {
    SessionKeys keys;
    EXPECT_TRUE(DeriveSessionKeys(privateKey, request, changed, keys));
    return keys;
  }

  CryptoPP::SecByteBlock privateKey;
  Request request{};
  Response response{};
  SessionKeys original;
};

TEST_F(HandshakeResponse, BytesSeventeenToThirtyTwoDoNotMatter) {
  Response changed = response;
  for (std::size_t i = 17; i <= 32; ++i) {
    changed[i] = static_cast<std::uint8_t>(~changed[i]);
  }
  EXPECT_EQ(ToBytes(Derive(changed)), ToBytes(original));
}

TEST_F(HandshakeResponse, LeadByteChangesTheFrameKey) {
  Response changed = response;
  changed[0] ^= 0x01;
  EXPECT_NE(Derive(changed).frameKey, original.frameKey);
}

TEST_F(HandshakeResponse, EveryCounterByteChangesTheFrameKey) {
  for (std::size_t i = 1; i <= 16; ++i) {
    Response changed = response;
    changed[i] ^= 0x80;
    const SessionKeys keys = Derive(changed);
    EXPECT_NE(keys.frameKey, original.frameKey) << "byte " << i;
    EXPECT_TRUE(
        std::equal(keys.initialCounter.begin(), keys.initialCounter.end(), changed.begin() + 1))
        << "byte " << i;
  }
}

TEST_F(HandshakeResponse, HostKeyPrefixInTheRequestChangesTheFrameKey) {
  Request changed = request;
  changed[9] ^= 0x01;  // enters OtherInfo only; the agreement uses the private key
  SessionKeys keys;
  ASSERT_TRUE(DeriveSessionKeys(privateKey, changed, response, keys));
  EXPECT_NE(keys.frameKey, original.frameKey);
}

}  // namespace
}  // namespace nevrik
