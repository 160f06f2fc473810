#include "sim/key_crypto.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/sim/key_test_host.h"

namespace nevrik {
namespace {

using test::Bytes;

// Each step of the key's derivation against the recorded intermediate values, so a mismatch
// points at the step that broke.
TEST(KeyCryptoTest, EveryStepMatchesTheRecordedVectors) {
  const test::VectorFile vectors =
      test::LoadVectors(NEVRIK_TEST_DATA_DIR "/sim/vectors/key_handshake.txt");
  for (const auto& [name, v] : vectors) {
    SCOPED_TRACE(name);
    const Bytes& request = v.at("handshake_request");
    const Bytes& response = v.at("handshake_response");

    const std::optional<simkey::KeyPair> pair =
        simkey::MakeKeyPair(std::span<const std::uint8_t>(v.at("device_private")));
    ASSERT_TRUE(pair.has_value());
    EXPECT_TRUE(
        std::equal(pair->publicKey.x.begin(), pair->publicKey.x.end(), response.begin() + 33));
    EXPECT_TRUE(
        std::equal(pair->publicKey.y.begin(), pair->publicKey.y.end(), response.begin() + 65));

    simkey::KeyPoint host;
    std::copy_n(request.begin() + 9, 32, host.x.begin());
    std::copy_n(request.begin() + 41, 32, host.y.begin());
    const std::optional<CryptoPP::SecByteBlock> z = simkey::AgreeWith(pair->privateKey, host);
    ASSERT_TRUE(z.has_value());
    EXPECT_EQ(Bytes(z->begin(), z->end()), v.at("z"));

    const auto otherInfo = simkey::BuildOtherInfo(request, response);
    EXPECT_EQ(Bytes(otherInfo.begin(), otherInfo.end()), v.at("other_info"));
    const CryptoPP::SecByteBlock material = simkey::DeriveKeyMaterial(*z, otherInfo);
    EXPECT_EQ(Bytes(material.begin(), material.end()), v.at("key_material"));

    const Bytes& frameKey = v.at("frame_key");
    for (const std::string payload : {"setup", "status_query"}) {
      Bytes data = v.at(payload + "_plain");
      simkey::CryptPayloadInPlace(std::span<const std::uint8_t, 16>(frameKey.data(), 16),
                                  std::span<const std::uint8_t, 16>(response.data() + 1, 16), data);
      EXPECT_EQ(data, v.at(payload + "_cipher")) << payload;
    }
  }
}

TEST(KeyCryptoTest, PrivateKeysOutsideTheGroupOrderAreRefused) {
  EXPECT_FALSE(simkey::MakeKeyPair(std::span<const std::uint8_t>(Bytes(32, 0))).has_value());
  EXPECT_FALSE(simkey::MakeKeyPair(std::span<const std::uint8_t>(Bytes(32, 0xFF))).has_value());
  EXPECT_FALSE(simkey::MakeKeyPair(std::span<const std::uint8_t>(Bytes(31, 1))).has_value());
  const std::optional<simkey::KeyPair> random = simkey::MakeKeyPair(std::nullopt);
  ASSERT_TRUE(random.has_value());
  EXPECT_TRUE(simkey::IsValidPoint(random->publicKey));
  EXPECT_FALSE(simkey::IsValidPoint(simkey::PointWithCoordinateAbovePrime()));
}

}  // namespace
}  // namespace nevrik
