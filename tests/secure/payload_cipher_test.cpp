#include "secure/payload_cipher.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include <cryptopp/rijndael.h>
#include <gtest/gtest.h>

#include "tests/secure/vector_file.h"

namespace nevrik {
namespace {

using Block = std::array<std::uint8_t, 16>;

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i * 31);
  }
  return bytes;
}

SessionKeys TestKeys(std::uint8_t seed) {
  SessionKeys keys;
  for (std::size_t i = 0; i < SessionKeys::FieldSize; ++i) {
    keys.reservedKeyA[i] = static_cast<std::uint8_t>(seed + 1 + i);
    keys.frameKey[i] = static_cast<std::uint8_t>(seed + 17 * i);
    keys.reservedKeyB[i] = static_cast<std::uint8_t>(seed + 3 + i);
    keys.initialCounter[i] = static_cast<std::uint8_t>(seed ^ (0x5B + i));
  }
  return keys;
}

std::vector<std::uint8_t> Crypt(PayloadCipher& cipher, const std::vector<std::uint8_t>& input) {
  std::vector<std::uint8_t> output(input.size());
  cipher.CryptPayload(input.data(), output.data(), input.size());
  return output;
}

// A payload through a cipher of its own, made for it.
std::vector<std::uint8_t> Crypt(const SessionKeys& keys, const std::vector<std::uint8_t>& input) {
  PayloadCipher cipher(keys);
  return Crypt(cipher, input);
}

Block AesBlock(const SessionKeys& keys, const Block& input) {
  CryptoPP::Rijndael::Encryption aes(keys.frameKey.data(), keys.frameKey.size());
  Block output;
  aes.ProcessBlock(input.data(), output.data());
  return output;
}

TEST(CryptPayload, MatchesIndependentlyComputedVectors) {
  const auto records = test::ReadVectorFile("payload_cipher.txt");
  ASSERT_GE(records.size(), 7u) << "payload_cipher.txt is missing or incomplete";
  std::set<std::size_t> lengths;
  for (const auto& record : records) {
    SCOPED_TRACE(record.Text("Comment"));
    SessionKeys keys = TestKeys(0x42);  // the reserved keys hold arbitrary bytes
    const auto frameKey = record.Bytes("FrameKey");
    const auto initialCounter = record.Bytes("InitialCounter");
    ASSERT_EQ(frameKey.size(), 16u);
    ASSERT_EQ(initialCounter.size(), 16u);
    std::copy(frameKey.begin(), frameKey.end(), keys.frameKey.begin());
    std::copy(initialCounter.begin(), initialCounter.end(), keys.initialCounter.begin());
    const auto plaintext = record.Bytes("Plaintext");
    const auto ciphertext = record.Bytes("Ciphertext");
    lengths.insert(plaintext.size());

    // One cipher for every payload in turn, as a session uses it.
    PayloadCipher cipher(keys);
    EXPECT_EQ(Crypt(cipher, plaintext), ciphertext);
    EXPECT_EQ(Crypt(cipher, ciphertext), plaintext);
    std::vector<std::uint8_t> inPlace = plaintext;
    cipher.CryptPayload(inPlace.data(), inPlace.data(), inPlace.size());
    EXPECT_EQ(inPlace, ciphertext);
  }
  for (const std::size_t length : {0, 1, 16, 17, 100, 8192}) {
    EXPECT_EQ(lengths.count(length), 1u) << "no vector for length " << length;
  }
}

TEST(CryptPayload, EveryPayloadStartsTheKeystreamAtTheInitialCounter) {
  const SessionKeys keys = TestKeys(7);
  PayloadCipher cipher(keys);
  const std::vector<std::uint8_t> zeros(100, 0);
  const auto first = Crypt(cipher, zeros);
  Crypt(cipher, Pattern(33, 9));  // ends in the middle of a keystream block
  EXPECT_EQ(Crypt(cipher, zeros), first);

  Block counter = keys.initialCounter;
  const Block firstBlock = AesBlock(keys, counter);
  EXPECT_TRUE(std::equal(firstBlock.begin(), firstBlock.end(), first.begin()));
  counter[15] += 1;  // the test keys' counter does not end in 0xFF
  const Block secondBlock = AesBlock(keys, counter);
  EXPECT_TRUE(std::equal(secondBlock.begin(), secondBlock.end(), first.begin() + 16));

  // A shorter payload uses the leading bytes of the same keystream.
  EXPECT_EQ(Crypt(cipher, std::vector<std::uint8_t>(1, 0))[0], first[0]);
  const auto seventeen = Crypt(cipher, std::vector<std::uint8_t>(17, 0));
  EXPECT_TRUE(std::equal(seventeen.begin(), seventeen.end(), first.begin()));
}

TEST(CryptPayload, CounterWrapsAfterAllOnes) {
  SessionKeys keys = TestKeys(3);
  keys.initialCounter.fill(0xFF);
  PayloadCipher cipher(keys);
  const auto keystream = Crypt(cipher, std::vector<std::uint8_t>(48, 0));
  // After the wrap, the next payload starts at the all-ones block again.
  EXPECT_EQ(Crypt(cipher, std::vector<std::uint8_t>(48, 0)), keystream);

  Block counter;
  counter.fill(0xFF);
  const Block first = AesBlock(keys, counter);
  counter.fill(0x00);
  const Block second = AesBlock(keys, counter);
  counter[15] = 0x01;
  const Block third = AesBlock(keys, counter);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), keystream.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), keystream.begin() + 16));
  EXPECT_TRUE(std::equal(third.begin(), third.end(), keystream.begin() + 32));
}

TEST(CryptPayload, CarryRunsThroughTheWholeCounterBlock) {
  SessionKeys keys = TestKeys(5);
  keys.initialCounter.fill(0xFF);
  keys.initialCounter[0] = 0x12;
  const auto keystream = Crypt(keys, std::vector<std::uint8_t>(32, 0));
  Block next{};
  next[0] = 0x13;
  const Block second = AesBlock(keys, next);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), keystream.begin() + 16));
}

TEST(CryptPayload, LeavesBytesBeyondThePayloadUntouched) {
  const SessionKeys keys = TestKeys(11);
  const auto payload = Pattern(17, 1);
  std::vector<std::uint8_t> frame(8 + payload.size() + 40, 0xA5);
  std::copy(payload.begin(), payload.end(), frame.begin() + 8);

  PayloadCipher(keys).CryptPayload(frame.data() + 8, frame.data() + 8, payload.size());

  const auto expected = Crypt(keys, payload);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.begin() + 8));
  EXPECT_TRUE(std::all_of(frame.begin(), frame.begin() + 8, [](auto b) { return b == 0xA5; }));
  EXPECT_TRUE(std::all_of(frame.begin() + 8 + 17, frame.end(), [](auto b) { return b == 0xA5; }));
}

TEST(CryptPayload, LengthZeroTouchesNothing) {
  PayloadCipher cipher(TestKeys(13));
  std::vector<std::uint8_t> buffer(16, 0x5A);
  cipher.CryptPayload(buffer.data(), buffer.data(), 0);
  EXPECT_EQ(buffer, std::vector<std::uint8_t>(16, 0x5A));
  cipher.CryptPayload(nullptr, nullptr, 0);
}

TEST(CryptPayload, IgnoresTheReservedKeys) {
  const SessionKeys keys = TestKeys(17);
  SessionKeys changed = keys;
  changed.reservedKeyA.fill(0x00);
  changed.reservedKeyB.fill(0xFF);
  const auto payload = Pattern(100, 4);
  EXPECT_EQ(Crypt(changed, payload), Crypt(keys, payload));
}

TEST(CryptPayload, RoundTripsInPlaceAndOutOfPlace) {
  PayloadCipher cipher(TestKeys(23));
  const auto payload = Pattern(65535, 2);
  const auto outOfPlace = Crypt(cipher, payload);
  std::vector<std::uint8_t> inPlace = payload;
  cipher.CryptPayload(inPlace.data(), inPlace.data(), inPlace.size());
  EXPECT_EQ(inPlace, outOfPlace);
  EXPECT_NE(inPlace, payload);
  cipher.CryptPayload(inPlace.data(), inPlace.data(), inPlace.size());
  EXPECT_EQ(inPlace, payload);
}

}  // namespace
}  // namespace nevrik
