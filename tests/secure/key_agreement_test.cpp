#include "secure/key_agreement.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tests/secure/vector_file.h"

namespace nevrik {
namespace {

using EncodedPoint = std::array<std::uint8_t, PublicKeySize>;

// The order of the P-256 base point, big-endian.
constexpr std::array<std::uint8_t, 32> GroupOrder = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

EncodedPoint ToPoint(const CryptoPP::SecByteBlock& publicKey) {
  EncodedPoint point{};
  std::copy_n(publicKey.begin(), std::min(publicKey.size(), point.size()), point.begin());
  return point;
}

CryptoPP::SecByteBlock ToBlock(const std::vector<std::uint8_t>& bytes) {
  return CryptoPP::SecByteBlock(bytes.data(), bytes.size());
}

bool AllZero(const CryptoPP::SecByteBlock& block) {
  return std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; });
}

TEST(GenerateEphemeralKeyPair, GivesAMatchingUncompressedPair) {
  CryptoPP::SecByteBlock privateKey;
  CryptoPP::SecByteBlock publicKey;
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateKey, publicKey));
  ASSERT_EQ(privateKey.size(), 32u);
  ASSERT_EQ(publicKey.size(), 65u);
  EXPECT_EQ(publicKey[0], 0x04);
  CryptoPP::SecByteBlock derived;
  ASSERT_TRUE(PublicKeyFromPrivate(privateKey, derived));
  EXPECT_EQ(derived, publicKey);
}

TEST(GenerateEphemeralKeyPair, EveryCallGivesANewPair) {
  CryptoPP::SecByteBlock privateA, publicA, privateB, publicB;
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateA, publicA));
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateB, publicB));
  EXPECT_NE(privateA, privateB);
  EXPECT_NE(publicA, publicB);
}

TEST(ComputeSharedSecret, BothSidesAgreeOnTheXCoordinate) {
  CryptoPP::SecByteBlock privateA, publicA, privateB, publicB;
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateA, publicA));
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateB, publicB));
  CryptoPP::SecByteBlock agreedA, agreedB;
  ASSERT_TRUE(ComputeSharedSecret(privateA, ToPoint(publicB), agreedA));
  ASSERT_TRUE(ComputeSharedSecret(privateB, ToPoint(publicA), agreedB));
  EXPECT_EQ(agreedA.size(), 32u);
  EXPECT_EQ(agreedA, agreedB);
  EXPECT_FALSE(AllZero(agreedA));
}

TEST(ComputeSharedSecret, RejectsTheInvalidDeviceKeysOfTheVectors) {
  const auto records = test::ReadVectorFile("handshake.txt");
  ASSERT_FALSE(records.empty()) << "handshake.txt is missing";
  int rejected = 0;
  for (const auto& record : records) {
    if (record.Text("Result") != "reject") {
      continue;
    }
    SCOPED_TRACE(record.Text("Comment"));
    ++rejected;
    const auto response = record.Bytes("Response");
    ASSERT_EQ(response.size(), 97u);
    EncodedPoint deviceKey;
    deviceKey[0] = 0x04;
    std::copy(response.begin() + 33, response.end(), deviceKey.begin() + 1);
    CryptoPP::SecByteBlock agreed;
    bool accepted = true;
    EXPECT_NO_THROW(
        accepted = ComputeSharedSecret(ToBlock(record.Bytes("HostPrivateKey")), deviceKey, agreed));
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(AllZero(agreed));
  }
  EXPECT_EQ(rejected, 2);
}

TEST(ComputeSharedSecret, RejectsEncodingsThatAreNotUncompressedPoints) {
  CryptoPP::SecByteBlock privateKey, publicKey, other, otherPublic;
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateKey, publicKey));
  ASSERT_TRUE(GenerateEphemeralKeyPair(other, otherPublic));

  EncodedPoint compressedTag = ToPoint(otherPublic);
  compressedTag[0] = 0x02;
  EncodedPoint infinity{};
  EncodedPoint allOnes;
  allOnes.fill(0xFF);
  allOnes[0] = 0x04;
  for (const EncodedPoint& point : {compressedTag, infinity, allOnes}) {
    CryptoPP::SecByteBlock agreed;
    bool accepted = true;
    EXPECT_NO_THROW(accepted = ComputeSharedSecret(privateKey, point, agreed));
    EXPECT_FALSE(accepted);
  }
}

TEST(ComputeSharedSecret, RefusesAPrivateKeyOfTheWrongSize) {
  CryptoPP::SecByteBlock privateKey, publicKey;
  ASSERT_TRUE(GenerateEphemeralKeyPair(privateKey, publicKey));
  CryptoPP::SecByteBlock shortKey(privateKey.data(), 31);
  CryptoPP::SecByteBlock agreed;
  EXPECT_FALSE(ComputeSharedSecret(shortKey, ToPoint(publicKey), agreed));
}

TEST(PublicKeyFromPrivate, RefusesKeysOutsideTheGroup) {
  CryptoPP::SecByteBlock publicKey;
  CryptoPP::SecByteBlock zero(32);
  std::fill(zero.begin(), zero.end(), 0);
  EXPECT_FALSE(PublicKeyFromPrivate(zero, publicKey));
  const CryptoPP::SecByteBlock order(GroupOrder.data(), GroupOrder.size());
  EXPECT_FALSE(PublicKeyFromPrivate(order, publicKey));
  CryptoPP::SecByteBlock orderMinusOne = order;
  orderMinusOne[31] -= 1;
  EXPECT_TRUE(PublicKeyFromPrivate(orderMinusOne, publicKey));
  EXPECT_FALSE(PublicKeyFromPrivate(CryptoPP::SecByteBlock(33), publicKey));
}

}  // namespace
}  // namespace nevrik
