#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "protocol/device_session.h"
#include "tests/protocol/session_bench.h"
#include "tests/secure/vector_file.h"

namespace nevrik {
namespace {

using test::Bytes;
using test::FixedKeySource;
using test::Pattern;
using test::SessionBench;
using test::SetupPayload;
using test::Sha256;

std::vector<const KeyRequestRecord*> Handshakes(const SessionBench& bench) {
  std::vector<const KeyRequestRecord*> found;
  for (const KeyRequestRecord& record : bench.Requests()) {
    if (record.command == CmdHandshake) {
      found.push_back(&record);
    }
  }
  return found;
}

// The request carries zeros, then the host's public key without its leading 0x04.
void ExpectRequestCarries(const KeyRequestRecord& request, const Bytes& publicKey) {
  ASSERT_EQ(request.payload.size(), 73u);
  ASSERT_EQ(publicKey.size(), 65u);
  EXPECT_FALSE(request.secure);
  EXPECT_TRUE(std::all_of(request.payload.begin(), request.payload.begin() + 9,
                          [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_TRUE(
      std::equal(request.payload.begin() + 9, request.payload.end(), publicKey.begin() + 1));
}

// A secure query goes through only when host and key hold the same keys.
void ExpectSecureQueryWorks(SessionBench& bench) {
  std::uint32_t value = 0;
  EXPECT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  EXPECT_EQ(value, 1u);
  EXPECT_TRUE(bench.Requests().back().secure);
  EXPECT_TRUE(bench.Requests().back().deciphered);
}

// The handshake ---------------------------------------------------------------------------------

TEST(HandshakeTest, EstablishesTheKeysTheKeyHolds) {
  SessionBench bench;
  ASSERT_TRUE(bench.Session().Synchronize());
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  EXPECT_TRUE(bench.Session().KeyEstablished());
  EXPECT_TRUE(bench.Key().Firmware().KeyEstablished());
  const auto handshakes = Handshakes(bench);
  ASSERT_EQ(handshakes.size(), 1u);
  ASSERT_EQ(bench.keySource.HandedOut().size(), 1u);
  ExpectRequestCarries(*handshakes[0], bench.keySource.HandedOut()[0]);
  ExpectSecureQueryWorks(bench);
}

TEST(HandshakeTest, SucceedsOnTheSecondAttemptAfterAnInvalidDeviceKey) {
  SessionBench bench;
  bench.Key().Firmware().Faults().invalidKeyHandshakes = 1;
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  const auto handshakes = Handshakes(bench);
  ASSERT_EQ(handshakes.size(), 2u);
  ASSERT_EQ(bench.keySource.HandedOut().size(), 2u);
  ExpectRequestCarries(*handshakes[0], bench.keySource.HandedOut()[0]);
  ExpectRequestCarries(*handshakes[1], bench.keySource.HandedOut()[1]);
  ExpectSecureQueryWorks(bench);
}

class HandshakeInvalidKeyTest : public ::testing::TestWithParam<InvalidKeyKind> {};

TEST_P(HandshakeInvalidKeyTest, GivesUpAfterTenAttemptsWithTenHostKeys) {
  SessionBench bench;
  bench.Key().Firmware().Faults().invalidKeyHandshakes = 10;
  bench.Key().Firmware().Faults().invalidKeyKind = GetParam();
  EXPECT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::ProtocolError);
  EXPECT_FALSE(bench.Session().KeyEstablished());

  const auto handshakes = Handshakes(bench);
  ASSERT_EQ(handshakes.size(), 10u);
  ASSERT_EQ(bench.keySource.HandedOut().size(), 10u);
  EXPECT_EQ(bench.keySource.Calls(), 10u);
  std::set<Bytes> sent;
  for (std::size_t i = 0; i < handshakes.size(); ++i) {
    ExpectRequestCarries(*handshakes[i], bench.keySource.HandedOut()[i]);
    sent.insert(handshakes[i]->payload);
  }
  EXPECT_EQ(sent.size(), 10u);

  EXPECT_EQ(bench.Session().TransactNoData(CmdGetHash, true, 0), StatusCode::NoEstablishedKey);
  EXPECT_EQ(bench.Requests().size(), 10u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandshakeInvalidKeyTest,
                         ::testing::Values(InvalidKeyKind::NotOnCurve,
                                           InvalidKeyKind::CoordinateAbovePrime));

TEST(HandshakeTest, DeviceStatusEndsItAtOnce) {
  SessionBench bench;
  bench.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(CmdHandshake), 3)};
  EXPECT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Busy);
  EXPECT_EQ(bench.Requests().size(), 1u);
  EXPECT_EQ(bench.keySource.Calls(), 1u);
  EXPECT_FALSE(bench.Session().KeyEstablished());
}

TEST(HandshakeTest, AnswerOfTheWrongSizeIsAHostInternalError) {
  for (const std::size_t size : {96u, 98u}) {
    SCOPED_TRACE(size);
    SessionBench bench;
    bench.Key().Firmware().Faults().responses = {
        ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdHandshake), size)};
    EXPECT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::HostInternalError);
    EXPECT_EQ(bench.Requests().size(), 1u);
    EXPECT_FALSE(bench.Session().KeyEstablished());
    EXPECT_FALSE(bench.Session().IsBroken());
  }
}

TEST(HandshakeTest, DropsTheKeysHeldFirstAndLeavesNoneOnFailure) {
  SessionBench bench;
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  bench.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(CmdHandshake, 1), 3)};
  EXPECT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Busy);
  EXPECT_FALSE(bench.Session().KeyEstablished());
  const std::size_t sent = bench.Requests().size();
  EXPECT_EQ(bench.Session().TransactNoData(CmdGetHash, true, 0), StatusCode::NoEstablishedKey);
  EXPECT_EQ(bench.Requests().size(), sent);
}

TEST(HandshakeTest, RunAgainReplacesTheKeys) {
  SessionBench bench;
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  const Bytes firstKeys = bench.Key().Firmware().SessionKeyBlock();
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  EXPECT_NE(bench.Key().Firmware().SessionKeyBlock(), firstKeys);
  ExpectSecureQueryWorks(bench);
}

// A host key pair that cannot be made (the random source failed) is a HostInternalError: the
// chosen result for a failure that is the host's own, not the device's.
TEST(HandshakeTest, KeyPairSourceFailureIsAHostInternalError) {
  SessionBench none({}, {}, FixedKeySource(std::vector<CryptoPP::SecByteBlock>{}));
  EXPECT_EQ(none.Session().EstablishSecureMessaging(), StatusCode::HostInternalError);
  EXPECT_TRUE(none.Requests().empty());
  EXPECT_FALSE(none.Session().KeyEstablished());

  // Failing on the second attempt, after the key answered an invalid point.
  SessionBench one({}, {}, FixedKeySource::Distinct(1));
  one.Key().Firmware().Faults().invalidKeyHandshakes = 1;
  EXPECT_EQ(one.Session().EstablishSecureMessaging(), StatusCode::HostInternalError);
  EXPECT_EQ(one.Requests().size(), 1u);
  EXPECT_FALSE(one.Session().KeyEstablished());
}

TEST(HandshakeTest, ReplaysRecordedExchanges) {
  const std::vector<test::VectorRecord> records = test::ReadVectorFile("handshake.txt");
  unsigned replayed = 0;
  for (const test::VectorRecord& record : records) {
    if (record.Text("Result") != "accept") {
      continue;
    }
    SCOPED_TRACE(record.Text("Comment"));
    const Bytes response = record.Bytes("Response");
    ASSERT_EQ(response.size(), 97u);
    SimKeyFirmwareConfig firmware;
    firmware.handshake.privateKey = record.Bytes("DevicePrivateKey");
    firmware.handshake.leadByte = response[0];
    firmware.handshake.initialCounter.emplace();
    std::copy_n(response.begin() + 1, 16, firmware.handshake.initialCounter->begin());
    firmware.handshake.unexamined.emplace();
    std::copy_n(response.begin() + 17, 16, firmware.handshake.unexamined->begin());
    const Bytes hostKey = record.Bytes("HostPrivateKey");
    SessionBench bench({}, firmware,
                       FixedKeySource(std::vector<CryptoPP::SecByteBlock>{
                           CryptoPP::SecByteBlock(hostKey.data(), hostKey.size())}));

    ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
    ASSERT_EQ(bench.Requests().size(), 1u);
    EXPECT_EQ(bench.Requests()[0].payload, record.Bytes("Request"));
    Bytes answer;
    for (const Bytes& packet : bench.bus->InPackets()) {
      answer.insert(answer.end(), packet.begin(), packet.end());
    }
    ASSERT_EQ(answer.size(), 8u + 97u);
    EXPECT_EQ(Bytes(answer.begin() + 8, answer.end()), response);
    EXPECT_EQ(bench.Key().Firmware().SessionKeyBlock(), record.Bytes("SessionKeys"));
    ExpectSecureQueryWorks(bench);
    ++replayed;
  }
  EXPECT_GE(replayed, 6u);
}

// Secure round trips ----------------------------------------------------------------------------

// What a payload looks like on the wire under the key's session keys (frame key at bytes 16-31,
// initial counter at 48-63): AES-128 in counter mode, starting again at the counter.
Bytes EncipheredUnder(const Bytes& keyBlock, const Bytes& plain) {
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher(keyBlock.data() + 16, 16,
                                                       keyBlock.data() + 48);
  Bytes enciphered(plain.size());
  cipher.ProcessData(enciphered.data(), plain.data(), plain.size());
  return enciphered;
}

class SecureRoundTripTest
    : public ::testing::TestWithParam<std::tuple<std::uint16_t, std::uint32_t>> {};

TEST_P(SecureRoundTripTest, WriteAndHashThroughTheKey) {
  const auto [packetSize, size] = GetParam();
  SessionBench bench(test::PacketSize(packetSize));
  ASSERT_TRUE(bench.Session().Synchronize());
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  ASSERT_EQ(bench.SendNoData(CmdSetup, true, SetupPayload(size)), StatusCode::Success);
  EXPECT_EQ(bench.Requests().back().payload, SetupPayload(size));

  const Bytes data = Pattern(size, 0x11);
  ASSERT_EQ(bench.SendNoData(CmdWrite, true, data), StatusCode::Success);
  const KeyRequestRecord& write = bench.Requests().back();
  EXPECT_EQ(write.command, CmdWrite);
  EXPECT_TRUE(write.secure);
  EXPECT_TRUE(write.deciphered);
  EXPECT_EQ(write.payload, data);
  const Bytes keyBlock = bench.Key().Firmware().SessionKeyBlock();
  EXPECT_EQ(Bytes(write.transfer.begin() + 8, write.transfer.end()),
            EncipheredUnder(keyBlock, data));

  Bytes hash;
  ASSERT_EQ(bench.Session().Transact(CmdGetHash, true, 0, hash), StatusCode::Success);
  const KeyRequestRecord& query = bench.Requests().back();
  EXPECT_TRUE(query.secure);
  EXPECT_EQ(query.length, 0);
  EXPECT_EQ(hash, Sha256(data));
  // The hash travelled enciphered, under SecureBit.
  const Bytes& answer = bench.bus->InPackets().back();
  ASSERT_EQ(answer.size(), 8u + 32u);
  EXPECT_EQ(answer[5], SecureBit);
  EXPECT_EQ(Bytes(answer.begin() + 8, answer.end()), EncipheredUnder(keyBlock, hash));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SecureRoundTripTest,
                         ::testing::Combine(::testing::Values<std::uint16_t>(64, 512),
                                            ::testing::Values<std::uint32_t>(1, 16, 17, 56, 100,
                                                                             504, 8192)),
                         [](const auto& info) {
                           return "Packet" + std::to_string(std::get<0>(info.param)) + "Bytes" +
                                  std::to_string(std::get<1>(info.param));
                         });

class SecureQueryTest : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(SecureQueryTest, StatusRecordIsAnsweredSecureAndDeciphered) {
  SessionBench bench(test::PacketSize(GetParam()));
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  const std::size_t before = bench.bus->InPackets().size();
  DeviceStatus record;
  ASSERT_EQ(bench.Session().GetStatus(record), StatusCode::Success);
  EXPECT_TRUE(bench.Requests().back().secure);
  const auto expected = bench.Key().Firmware().StatusRecord();
  EXPECT_TRUE(std::equal(record.bytes.begin(), record.bytes.end(), expected.begin()));
  ASSERT_GT(bench.bus->InPackets().size(), before);
  EXPECT_EQ(bench.bus->InPackets()[before][5], SecureBit);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, SecureQueryTest, ::testing::Values(64, 512));

}  // namespace
}  // namespace nevrik
