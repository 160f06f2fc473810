#include "sim/sim_key_firmware.h"

#include <cryptopp/integer.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/sim/key_test_host.h"

namespace nevrik {
namespace {

using test::AnswerFrame;
using test::Bytes;
using test::QueryPayload;
using test::RequestFrame;
using test::TestHandshake;
using test::TestKeys;

constexpr std::uint8_t Secure = 0x80;

Bytes SetupPayload(std::uint32_t imageSize, const std::string& pin = "") {
  Bytes payload{0x08, 0x00, 0x06, 0x60, 0xFF, 0x00, 0xFF, 0xFF};
  for (int shift = 0; shift < 32; shift += 8) {
    payload.push_back(static_cast<std::uint8_t>(imageSize >> shift));
  }
  payload.insert(payload.end(), pin.begin(), pin.end());
  return payload;
}

Bytes Sha256(const Bytes& data) {
  Bytes digest(32);
  CryptoPP::SHA256().CalculateDigest(digest.data(), data.data(), data.size());
  return digest;
}

Bytes Ascii(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

class KeyFirmwareTest : public ::testing::Test {
 protected:
  void MakeKey(SimKeyFirmwareConfig config) {
    key = std::make_unique<SimKeyFirmware>(std::move(config));
  }

  // The answer frame, or nothing when the key did not answer.
  std::optional<AnswerFrame> Send(const Bytes& transfer) {
    const SimKeyFirmware::Answer answer = key->HandleTransfer(transfer);
    if (!answer.frame) {
      return std::nullopt;
    }
    std::optional<AnswerFrame> parsed = test::ParseAnswer(*answer.frame);
    EXPECT_TRUE(parsed.has_value()) << "not a whole answer frame";
    return parsed;
  }

  AnswerFrame Ask(std::uint8_t commandByte, const Bytes& payload = {}) {
    ++sequence;
    std::optional<AnswerFrame> answer = Send(RequestFrame(sequence, commandByte, payload));
    if (!answer) {
      ADD_FAILURE() << "no answer";
      return AnswerFrame{};
    }
    EXPECT_EQ(answer->sequence, sequence);
    return *answer;
  }

  // A secure request; the answer's payload comes back deciphered when it is secure and successful.
  AnswerFrame AskSecure(std::uint8_t command, const Bytes& payload) {
    AnswerFrame answer = Ask(command | Secure, test::Crypt(keys, payload));
    if (answer.Status() == 0 && answer.Secure()) {
      answer.payload = test::Crypt(keys, answer.payload);
    }
    return answer;
  }

  void Handshake() {
    const TestHandshake host;
    const AnswerFrame answer = Ask(simkey::CmdHandshake, host.Request());
    ASSERT_EQ(answer.statusByte, 0);
    ASSERT_EQ(answer.payload.size(), 97u);
    const std::optional<TestKeys> derived = host.Finish(answer.payload);
    ASSERT_TRUE(derived.has_value());
    keys = *derived;
    lastResponse = answer.payload;
  }

  std::unique_ptr<SimKeyFirmware> key = std::make_unique<SimKeyFirmware>();
  std::uint8_t sequence = 0;
  TestKeys keys;
  Bytes lastResponse;
};

TEST_F(KeyFirmwareTest, SyncCheckAnswersOneWithTheRequestSequence) {
  for (const std::uint8_t requestSequence : {0x00, 0x37, 0xFF}) {
    const std::optional<AnswerFrame> answer =
        Send(RequestFrame(requestSequence, simkey::CmdQuery, QueryPayload(3)));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->sequence, requestSequence);
    EXPECT_EQ(answer->statusByte, 0x00);
    EXPECT_EQ(answer->payload, (Bytes{1, 0, 0, 0}));
  }
  // Bit 6 of the command byte plays no part.
  EXPECT_EQ(Ask(0x40 | simkey::CmdQuery, QueryPayload(3)).payload, (Bytes{1, 0, 0, 0}));
}

TEST_F(KeyFirmwareTest, StatusRecordCarriesFlagsVersionAndIdentity) {
  SimKeyFirmwareConfig config;
  config.firmwareMajor = 1;
  config.firmwareMinor = 7;
  config.soPin = Ascii("2468");
  config.serialNumber = "ABC";
  config.buildNumber = 0x01020304;
  MakeKey(config);
  const Bytes record = Ask(simkey::CmdQuery, QueryPayload(16)).payload;
  ASSERT_EQ(record.size(), 108u);
  EXPECT_EQ(record[0], 1);
  EXPECT_EQ(record[1], 0x01);
  EXPECT_EQ(record[2], 8);
  EXPECT_EQ(record[3], 8);
  EXPECT_EQ(Bytes(record.begin() + 4, record.begin() + 8), (Bytes{'A', 'B', 'C', 0}));
  EXPECT_EQ(Bytes(record.begin() + 20, record.begin() + 102), Bytes(82, 0));
  EXPECT_EQ(record[102], 1);
  EXPECT_EQ(record[103], 7);
  EXPECT_EQ(Bytes(record.begin() + 104, record.end()), (Bytes{4, 3, 2, 1}));

  config.soPinLocked = true;
  MakeKey(config);
  EXPECT_EQ(Ask(simkey::CmdQuery, QueryPayload(16)).payload[1], 0x09);
  config.soPin.reset();
  MakeKey(config);
  EXPECT_EQ(Ask(simkey::CmdQuery, QueryPayload(16)).payload[1], 0x08);
}

TEST_F(KeyFirmwareTest, RefusesUnknownCommandsAndMalformedQueries) {
  EXPECT_EQ(Ask(0x10).statusByte, 1);
  EXPECT_EQ(Ask(0x3F, Bytes(5, 0)).statusByte, 1);
  EXPECT_EQ(Ask(simkey::CmdQuery, Bytes{3, 0, 0}).statusByte, 6);
  EXPECT_EQ(Ask(simkey::CmdQuery, QueryPayload(4)).statusByte, 6);
  EXPECT_EQ(Ask(simkey::CmdHandshake, Bytes(72, 0)).statusByte, 6);
  for (const KeyRequestRecord& record : key->Requests()) {
    EXPECT_TRUE(record.framed);
  }
}

TEST_F(KeyFirmwareTest, OnlyWholeFramesAreRequests) {
  EXPECT_FALSE(Send(Bytes{'N', 'V', 'K', 'W', 1, 3, 0}).has_value());
  Bytes wrongMagic = RequestFrame(2, simkey::CmdQuery, QueryPayload(3));
  wrongMagic[3] = 'X';
  EXPECT_FALSE(Send(wrongMagic).has_value());

  Bytes tooLong = RequestFrame(3, simkey::CmdQuery, QueryPayload(3));
  tooLong.push_back(0);
  const std::optional<AnswerFrame> refused = Send(tooLong);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->sequence, 3);
  EXPECT_EQ(refused->statusByte, 6);

  // Two frames run together, as when a host leaves out a zero-length packet.
  Bytes joined = RequestFrame(4, simkey::CmdQuery, QueryPayload(3));
  const Bytes second = RequestFrame(5, simkey::CmdQuery, QueryPayload(3));
  joined.insert(joined.end(), second.begin(), second.end());
  const std::optional<AnswerFrame> answer = Send(joined);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->sequence, 4);
  EXPECT_EQ(answer->statusByte, 6);

  const std::vector<KeyRequestRecord>& log = key->Requests();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_FALSE(log[0].framed);
  EXPECT_FALSE(log[0].status.has_value());
  EXPECT_FALSE(log[1].framed);
  EXPECT_EQ(log[1].transfer, wrongMagic);
  EXPECT_FALSE(log[3].framed);
  EXPECT_EQ(log[3].number, 4u);
  EXPECT_EQ(log[3].length, 4);
  EXPECT_EQ(log[3].transfer.size(), 24u);
  EXPECT_EQ(log[3].status, 6);
}

TEST_F(KeyFirmwareTest, SecureRequestWithoutKeysIsRefusedInTheClear) {
  const Bytes payload = QueryPayload(16);
  const AnswerFrame answer = Ask(simkey::CmdQuery | Secure, payload);
  EXPECT_EQ(answer.statusByte, 5);
  EXPECT_TRUE(answer.payload.empty());
  const KeyRequestRecord& record = key->Requests().back();
  EXPECT_TRUE(record.secure);
  EXPECT_FALSE(record.deciphered);
  EXPECT_EQ(record.payload, payload);
}

TEST_F(KeyFirmwareTest, SecureAndPlainOnlyCommandsAreEnforced) {
  Handshake();
  EXPECT_EQ(Ask(simkey::CmdSetup, SetupPayload(10)).statusByte, 11);
  EXPECT_EQ(Ask(simkey::CmdWrite, Bytes(4, 1)).statusByte, 11);
  EXPECT_EQ(Ask(simkey::CmdGetHash).statusByte, 11);
  // Answers to secure requests carry SecureBit, errors included.
  EXPECT_EQ(
      Ask(simkey::CmdHandshake | Secure, test::Crypt(keys, TestHandshake().Request())).statusByte,
      0x80 | 10);
}

TEST_F(KeyFirmwareTest, HandshakeAndSecureRequestsMatchRecordedVectors) {
  const test::VectorFile vectors =
      test::LoadVectors(NEVRIK_TEST_DATA_DIR "/sim/vectors/key_handshake.txt");
  ASSERT_EQ(vectors.size(), 2u);
  for (const auto& [name, v] : vectors) {
    SCOPED_TRACE(name);
    const Bytes& response = v.at("handshake_response");
    SimKeyFirmwareConfig config;
    config.handshake.privateKey = v.at("device_private");
    config.handshake.leadByte = response[0];
    config.handshake.initialCounter.emplace();
    std::copy_n(response.begin() + 1, 16, config.handshake.initialCounter->begin());
    config.handshake.unexamined.emplace();
    std::copy_n(response.begin() + 17, 16, config.handshake.unexamined->begin());
    const Bytes setupPlain = v.at("setup_plain");
    config.soPin = Bytes(setupPlain.begin() + 12, setupPlain.end());
    MakeKey(config);

    const AnswerFrame answer = Ask(simkey::CmdHandshake, v.at("handshake_request"));
    EXPECT_EQ(answer.statusByte, 0x00);
    EXPECT_EQ(answer.payload, response);
    EXPECT_EQ(key->SessionKeyBlock(), v.at("session_keys"));

    const TestKeys recorded{v.at("frame_key"), Bytes(response.begin() + 1, response.begin() + 17)};
    const AnswerFrame status = Ask(simkey::CmdQuery | Secure, v.at("status_query_cipher"));
    EXPECT_EQ(status.statusByte, 0x80);
    const auto record = key->StatusRecord();
    EXPECT_EQ(test::Crypt(recorded, status.payload), Bytes(record.begin(), record.end()));
    EXPECT_TRUE(key->Requests().back().deciphered);
    EXPECT_EQ(key->Requests().back().payload, v.at("status_query_plain"));

    EXPECT_EQ(Ask(simkey::CmdSetup | Secure, v.at("setup_cipher")).statusByte, 0x80);
    EXPECT_EQ(key->Requests().back().payload, setupPlain);
    ASSERT_TRUE(key->Update().has_value());
    EXPECT_EQ(key->Update()->imageSize, 0x1BC48u);
    if (v.contains("chunk_cipher")) {
      EXPECT_EQ(Ask(simkey::CmdWrite | Secure, v.at("chunk_cipher")).statusByte, 0x80);
      EXPECT_EQ(key->Update()->image, v.at("chunk_plain"));
    }
  }
}

TEST_F(KeyFirmwareTest, HandshakeRefusesAnInvalidHostKeyAndDropsOldKeys) {
  Handshake();
  Bytes request = TestHandshake().Request();
  request[72] ^= 0x01;  // Y off the curve
  EXPECT_EQ(Ask(simkey::CmdHandshake, request).statusByte, 9);
  EXPECT_FALSE(key->KeyEstablished());

  // A coordinate equal to the field prime.
  request = TestHandshake().Request();
  const Bytes prime =
      test::FromHex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
  std::copy(prime.begin(), prime.end(), request.begin() + 9);
  EXPECT_EQ(Ask(simkey::CmdHandshake, request).statusByte, 9);
}

TEST_F(KeyFirmwareTest, EveryHandshakeMakesANewKeyPairAndReplacesTheKeys) {
  Handshake();
  const TestKeys first = keys;
  const Bytes firstAnswer = lastResponse;
  Handshake();
  EXPECT_NE(keys.frameKey, first.frameKey);
  EXPECT_NE(Bytes(lastResponse.begin() + 33, lastResponse.end()),
            Bytes(firstAnswer.begin() + 33, firstAnswer.end()));
  const Bytes block = key->SessionKeyBlock();
  ASSERT_EQ(block.size(), 64u);
  EXPECT_EQ(Bytes(block.begin() + 16, block.begin() + 32), keys.frameKey);
  EXPECT_EQ(AskSecure(simkey::CmdQuery, QueryPayload(3)).payload, (Bytes{1, 0, 0, 0}));
}

TEST_F(KeyFirmwareTest, SecurePayloadsOfSeveralSizesRoundTrip) {
  Handshake();
  const std::vector<std::size_t> sizes{1, 15, 16, 17, 255, 8192};
  std::uint32_t total = 0;
  for (const std::size_t size : sizes) {
    total += static_cast<std::uint32_t>(size);
  }
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(total)).statusByte, 0x80);
  Bytes image;
  for (const std::size_t size : sizes) {
    Bytes chunk(size);
    for (std::size_t i = 0; i < size; ++i) {
      chunk[i] = static_cast<std::uint8_t>(i * 31 + size);
    }
    const AnswerFrame answer = AskSecure(simkey::CmdWrite, chunk);
    EXPECT_EQ(answer.statusByte, 0x80) << size;
    EXPECT_TRUE(answer.payload.empty());
    EXPECT_EQ(key->Requests().back().payload, chunk);
    EXPECT_TRUE(key->Requests().back().deciphered);
    image.insert(image.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(key->Update()->image, image);
  const AnswerFrame hash = AskSecure(simkey::CmdGetHash, {});
  EXPECT_EQ(hash.statusByte, 0x80);
  EXPECT_EQ(hash.payload, Sha256(image));
}

TEST_F(KeyFirmwareTest, SetupChecksTheSoPinAndCountsTries) {
  SimKeyFirmwareConfig config;
  config.soPin = Ascii("2468");
  MakeKey(config);
  Handshake();
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, "1357")).Status(), 15);
  EXPECT_FALSE(key->Update().has_value());
  EXPECT_EQ(key->StatusRecord()[2], 7);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10)).Status(), 15);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, "2468")).statusByte, 0x80);
  EXPECT_TRUE(key->Update().has_value());
  EXPECT_EQ(key->StatusRecord()[2], 8);

  for (int attempt = 1; attempt <= 8; ++attempt) {
    EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, "0000")).Status(), 15);
  }
  EXPECT_EQ(key->StatusRecord()[1], 0x09);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, "2468")).Status(), 23);
}

TEST_F(KeyFirmwareTest, SetupWithoutSoPinIgnoresPinBytesAndChecksSizes) {
  Handshake();
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10)).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, "anything")).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, std::string(256, 'p'))).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(10, std::string(257, 'p'))).Status(), 6);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, Bytes(11, 0)).Status(), 6);
}

TEST_F(KeyFirmwareTest, WritesAndHashFollowTheSetup) {
  Handshake();
  EXPECT_EQ(AskSecure(simkey::CmdWrite, Bytes(4, 1)).Status(), 8);
  EXPECT_EQ(AskSecure(simkey::CmdGetHash, {}).Status(), 8);
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(6)).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdWrite, Bytes{1, 2, 3, 4}).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdWrite, Bytes{5, 6, 7}).Status(), 2);
  EXPECT_EQ(AskSecure(simkey::CmdWrite, Bytes{5, 6}).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdGetHash, {}).payload, Sha256(Bytes{1, 2, 3, 4, 5, 6}));
  // A new setup starts a new image.
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(6)).statusByte, 0x80);
  EXPECT_EQ(AskSecure(simkey::CmdGetHash, {}).payload, Sha256(Bytes{}));
}

TEST_F(KeyFirmwareTest, DeployAndFinalInstallTheNewVersion) {
  SimKeyFirmwareConfig config;
  config.soPin = Ascii("2468");
  MakeKey(config);
  Handshake();
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(3, "2468")).statusByte, 0x80);
  ASSERT_EQ(AskSecure(simkey::CmdWrite, Bytes{1, 2}).statusByte, 0x80);
  EXPECT_EQ(Ask(simkey::CmdDeploy).statusByte, 8);  // the image is not complete
  ASSERT_EQ(AskSecure(simkey::CmdWrite, Bytes{3}).statusByte, 0x80);

  // Before the final frame the key still runs the old firmware.
  const AnswerFrame deploy = Ask(simkey::CmdDeploy);
  EXPECT_EQ(deploy.statusByte, 0);
  EXPECT_TRUE(deploy.payload.empty());
  EXPECT_EQ(key->StatusRecord()[102], 1);

  EXPECT_FALSE(Send(RequestFrame(++sequence, simkey::CmdFinal)).has_value());
  EXPECT_FALSE(key->Requests().back().status.has_value());
  const auto record = key->StatusRecord();
  EXPECT_EQ(record[102], 2);
  EXPECT_EQ(record[103], 0);
  EXPECT_EQ(record[1], 0x00);  // the SO PIN went with the old firmware
  EXPECT_FALSE(key->KeyEstablished());
  EXPECT_FALSE(key->Update().has_value());
  // What a report reads afterwards: the image that became the firmware.
  ASSERT_TRUE(key->LatestUpdate().has_value());
  EXPECT_TRUE(key->LatestUpdate()->installed);
  EXPECT_EQ(key->LatestUpdate()->image, (Bytes{1, 2, 3}));
}

TEST_F(KeyFirmwareTest, FinalWithoutDeployChangesNothing) {
  Handshake();
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(0)).statusByte, 0x80);
  EXPECT_FALSE(Send(RequestFrame(++sequence, simkey::CmdFinal)).has_value());
  EXPECT_EQ(key->StatusRecord()[102], 1);
  EXPECT_TRUE(key->KeyEstablished());
  EXPECT_TRUE(key->Update().has_value());
}

TEST_F(KeyFirmwareTest, CancelAndResetAbandonTheUpdate) {
  Handshake();
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(4)).statusByte, 0x80);
  ASSERT_EQ(AskSecure(simkey::CmdWrite, Bytes{7}).statusByte, 0x80);
  const AnswerFrame cancel = Ask(simkey::CmdCancelUpdate);
  EXPECT_EQ(cancel.statusByte, 0);
  EXPECT_TRUE(cancel.payload.empty());
  // Abandoned, but still what a report reads: the bytes that arrived, never installed.
  ASSERT_TRUE(key->LatestUpdate().has_value());
  EXPECT_EQ(key->LatestUpdate()->image, Bytes{7});
  EXPECT_FALSE(key->LatestUpdate()->installed);
  EXPECT_EQ(AskSecure(simkey::CmdGetHash, {}).Status(), 8);
  EXPECT_EQ(Ask(simkey::CmdCancelUpdate).statusByte, 0);  // nothing to cancel is fine

  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(4)).statusByte, 0x80);
  key->ResetProtocol();
  EXPECT_FALSE(key->KeyEstablished());
  EXPECT_FALSE(key->Update().has_value());
  EXPECT_EQ(Ask(simkey::CmdQuery | Secure, QueryPayload(3)).statusByte, 5);
}

TEST_F(KeyFirmwareTest, StatusFaultsPickCommandOrRequestAndLeaveNoEffect) {
  key->Faults().responses.push_back(
      ResponseFault::Status(FaultTrigger::OnCommand(simkey::CmdHandshake, 1), 3));
  EXPECT_EQ(Ask(simkey::CmdHandshake, TestHandshake().Request()).statusByte, 3);
  EXPECT_FALSE(key->KeyEstablished());
  Handshake();

  const Bytes detail{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  key->Faults().responses.push_back(
      ResponseFault::Status(FaultTrigger::OnRequest(4), 5, true, detail));
  EXPECT_EQ(AskSecure(simkey::CmdQuery, QueryPayload(3)).payload, (Bytes{1, 0, 0, 0}));
  const AnswerFrame refused = Ask(simkey::CmdQuery | Secure, test::Crypt(keys, QueryPayload(3)));
  EXPECT_EQ(refused.statusByte, 0x85);
  EXPECT_EQ(refused.payload, detail);  // as given, not enciphered
  EXPECT_EQ(key->Requests().back().number, 4u);

  key->Faults().responses.push_back(
      ResponseFault::Status(FaultTrigger::OnCommand(simkey::CmdSetup), 63));
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(4)).Status(), 63);
  EXPECT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(4)).Status(), 63);
  EXPECT_FALSE(key->Update().has_value());

  // Bit 6, which hosts ignore, and a successful answer with SecureBit to a plain request.
  key->Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(simkey::CmdDeploy), 0x43)};
  EXPECT_EQ(Ask(simkey::CmdDeploy).statusByte, 0x43);
  EXPECT_EQ(key->Requests().back().status, 3);
  key->Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(simkey::CmdDeploy), 0, true, Bytes{9, 9})};
  const AnswerFrame odd = Ask(simkey::CmdDeploy);
  EXPECT_EQ(odd.statusByte, 0x80);
  EXPECT_EQ(odd.payload, (Bytes{9, 9}));
}

TEST_F(KeyFirmwareTest, PayloadSizeFaultsResizeAnswers) {
  for (const std::size_t size : {96u, 98u}) {
    key->Faults().responses = {
        ResponseFault::PayloadSize(FaultTrigger::OnCommand(simkey::CmdHandshake), size)};
    EXPECT_EQ(Ask(simkey::CmdHandshake, TestHandshake().Request()).payload.size(), size);
  }
  key->Faults().responses.clear();
  Handshake();
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(0)).statusByte, 0x80);
  const Bytes digest = Sha256(Bytes{});
  for (const std::size_t size : {0u, 31u, 33u}) {
    key->Faults().responses = {
        ResponseFault::PayloadSize(FaultTrigger::OnCommand(simkey::CmdGetHash), size)};
    const Bytes hash = AskSecure(simkey::CmdGetHash, {}).payload;
    ASSERT_EQ(hash.size(), size);
    const std::size_t common = std::min<std::size_t>(size, 32);
    EXPECT_TRUE(std::equal(hash.begin(), hash.begin() + static_cast<std::ptrdiff_t>(common),
                           digest.begin()));
  }
  key->Faults().responses = {
      ResponseFault::PayloadSize(FaultTrigger::OnCommand(simkey::CmdCancelUpdate), 1)};
  EXPECT_EQ(Ask(simkey::CmdCancelUpdate).payload, Bytes{0});
}

TEST_F(KeyFirmwareTest, CorruptPayloadGivesAWrongHash) {
  Handshake();
  ASSERT_EQ(AskSecure(simkey::CmdSetup, SetupPayload(0)).statusByte, 0x80);
  key->Faults().responses = {ResponseFault::Of(FaultTrigger::OnCommand(simkey::CmdGetHash, 1),
                                               ResponseFaultKind::CorruptPayload)};
  Bytes expected = Sha256(Bytes{});
  expected[0] ^= 0x01;
  EXPECT_EQ(AskSecure(simkey::CmdGetHash, {}).payload, expected);
  EXPECT_EQ(AskSecure(simkey::CmdGetHash, {}).payload, Sha256(Bytes{}));
}

TEST_F(KeyFirmwareTest, FrameFaultsDamageTheAnswer) {
  const auto answerTo = [&](ResponseFaultKind kind, std::uint8_t requestSequence) {
    key->Faults().responses = {ResponseFault::Of(FaultTrigger::OnCommand(simkey::CmdQuery), kind)};
    const SimKeyFirmware::Answer answer =
        key->HandleTransfer(RequestFrame(requestSequence, simkey::CmdQuery, QueryPayload(3)));
    return answer.frame;
  };
  const Bytes healthy{'N', 'V', 'K', 'W', 9, 0, 4, 0, 1, 0, 0, 0};
  Bytes expected = healthy;
  expected[3] = 'X';
  EXPECT_EQ(answerTo(ResponseFaultKind::WrongMagic, 9), expected);
  expected = healthy;
  expected[4] = 0xFF;
  EXPECT_EQ(answerTo(ResponseFaultKind::WrongSequence, 0), expected);
  EXPECT_EQ(answerTo(ResponseFaultKind::HeaderOnly, 9),
            Bytes(healthy.begin(), healthy.begin() + 6));
  expected = healthy;
  expected[6] = 5;
  EXPECT_EQ(answerTo(ResponseFaultKind::ShortPayload, 9), expected);
  EXPECT_FALSE(answerTo(ResponseFaultKind::NoResponse, 9).has_value());
  EXPECT_FALSE(key->Requests().back().status.has_value());
}

TEST_F(KeyFirmwareTest, CheckValueCanBeOtherThanOne) {
  key->Faults().checkValue = 0x01000002;
  EXPECT_EQ(Ask(simkey::CmdQuery, QueryPayload(3)).payload, (Bytes{2, 0, 0, 1}));
}

TEST_F(KeyFirmwareTest, InvalidDeviceKeysForTheFirstHandshakes) {
  key->Faults().invalidKeyHandshakes = 2;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const TestHandshake host;
    const AnswerFrame answer = Ask(simkey::CmdHandshake, host.Request());
    EXPECT_EQ(answer.statusByte, 0);
    ASSERT_EQ(answer.payload.size(), 97u);
    EXPECT_FALSE(host.Finish(answer.payload).has_value());
    EXPECT_FALSE(key->KeyEstablished());
  }
  Handshake();
  EXPECT_TRUE(key->KeyEstablished());

  // A point that is on the curve only once its X is reduced modulo p.
  key->Faults().invalidKeyHandshakes = 1;
  key->Faults().invalidKeyKind = InvalidKeyKind::CoordinateAbovePrime;
  const TestHandshake host;
  Bytes response = Ask(simkey::CmdHandshake, host.Request()).payload;
  ASSERT_EQ(response.size(), 97u);
  EXPECT_FALSE(host.Finish(response).has_value());
  const CryptoPP::Integer prime(
      "0xffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
  const CryptoPP::Integer x(response.data() + 33, 32);
  ASSERT_GE(x, prime);
  (x - prime).Encode(response.data() + 33, 32);
  EXPECT_TRUE(host.Finish(response).has_value());
}

}  // namespace
}  // namespace nevrik
