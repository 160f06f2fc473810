#include "sim/sim_key.h"

#include <gtest/gtest.h>

#include "tests/sim/key_test_host.h"

namespace nevrik {
namespace {

using test::Bytes;
using test::QueryPayload;
using test::RequestFrame;

constexpr std::uint8_t Out = 0x01;
constexpr std::uint8_t In = 0x81;

// Packet sizes of everything the endpoint has queued, fetched until it answers NAK.
std::vector<std::size_t> Drain(SimKey& key, std::uint8_t endpoint, Bytes* bytes = nullptr) {
  std::vector<std::size_t> sizes;
  for (;;) {
    const UsbInPacket packet = key.InPacket(endpoint);
    if (packet.kind != UsbInPacket::Kind::Data) {
      EXPECT_EQ(packet.kind, UsbInPacket::Kind::Nak);
      return sizes;
    }
    sizes.push_back(packet.bytes.size());
    if (bytes != nullptr) {
      bytes->insert(bytes->end(), packet.bytes.begin(), packet.bytes.end());
    }
  }
}

// Sends a transfer as a host does: whole packets, then the rest; a zero-length packet only when
// asked for.
bool SendPackets(SimKey& key, const Bytes& transfer, std::size_t packetSize, bool zeroLength,
                 std::uint8_t endpoint = Out) {
  for (std::size_t at = 0; at < transfer.size(); at += packetSize) {
    const std::size_t size = std::min(packetSize, transfer.size() - at);
    if (!key.OutPacket(endpoint, std::span(transfer).subspan(at, size))) {
      return false;
    }
  }
  if (zeroLength && transfer.size() % packetSize == 0) {
    return key.OutPacket(endpoint, {});
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> Request(SimKey& key, std::uint8_t requestType,
                                                 std::uint8_t request, std::uint16_t value,
                                                 std::uint16_t index, std::uint16_t length = 0) {
  return key.Control(UsbSetupPacket{requestType, request, value, index, length}, {});
}

bool Synchronize(SimKey& key) {
  return Request(key, 0x21, 0xFF, 0, 0).has_value();
}

std::optional<bool> Halted(SimKey& key, std::uint8_t endpoint) {
  const auto status = Request(key, 0x82, 0x00, 0, endpoint, 2);
  if (!status) {
    return std::nullopt;
  }
  return ((*status)[0] & 0x01) != 0;
}

bool ClearHalt(SimKey& key, std::uint8_t endpoint) {
  return Request(key, 0x02, 0x01, 0, endpoint).has_value();
}

SimKeyUsbConfig WithPacketSize(std::uint16_t packetSize) {
  SimKeyUsbConfig config;
  config.maxPacketSize = packetSize;
  return config;
}

class SimKeyPacketTest : public ::testing::TestWithParam<std::uint16_t> {
 protected:
  std::size_t PacketSize() const { return GetParam(); }
  SimKey key{WithPacketSize(GetParam())};
};

TEST_P(SimKeyPacketTest, AnswersGoOutInPacketsWithAZeroLengthPacketAfterAFullOne) {
  const std::size_t m = PacketSize();
  // The status answer (116 bytes) ends with a short packet.
  ASSERT_TRUE(SendPackets(key, RequestFrame(1, 0x03, QueryPayload(16)), m, true));
  EXPECT_EQ(Drain(key, In),
            m == 64 ? (std::vector<std::size_t>{64, 52}) : (std::vector<std::size_t>{116}));

  for (const std::size_t packets : {1u, 2u}) {
    key.Firmware().Faults().responses = {
        ResponseFault::PayloadSize(FaultTrigger::OnCommand(0x03), packets * m - 8)};
    ASSERT_TRUE(SendPackets(key, RequestFrame(2, 0x03, QueryPayload(3)), m, true));
    std::vector<std::size_t> expected(packets, m);
    expected.push_back(0);
    Bytes answer;
    EXPECT_EQ(Drain(key, In, &answer), expected);
    EXPECT_EQ(answer.size(), packets * m);
    EXPECT_EQ(answer[4], 2);
  }
}

TEST_P(SimKeyPacketTest, ARequestIsCollectedUntilAShortPacket) {
  const std::size_t m = PacketSize();
  const Bytes full = RequestFrame(7, 0x10, Bytes(m - 8, 0xEE));  // fills one packet exactly
  ASSERT_TRUE(SendPackets(key, full, m, false));
  EXPECT_EQ(key.PendingOutBytes(), m);
  EXPECT_TRUE(Drain(key, In).empty());
  ASSERT_TRUE(key.OutPacket(Out, {}));
  EXPECT_EQ(key.PendingOutBytes(), 0u);
  Bytes answer;
  Drain(key, In, &answer);
  EXPECT_EQ(answer, (Bytes{'N', 'V', 'K', 'W', 7, 1, 0, 0}));

  // A long request spans several packets but is one transfer.
  const Bytes multi = RequestFrame(8, 0x10, Bytes(3 * m, 0x11));
  ASSERT_TRUE(SendPackets(key, multi, m, true));
  EXPECT_EQ(key.Firmware().Requests().back().transfer, multi);
  EXPECT_EQ(key.Counts().outTransfers, 2u);
}

TEST_P(SimKeyPacketTest, AMissingZeroLengthPacketRunsTwoFramesTogether) {
  const std::size_t m = PacketSize();
  ASSERT_TRUE(SendPackets(key, RequestFrame(7, 0x10, Bytes(m - 8, 0xEE)), m, false));
  ASSERT_TRUE(SendPackets(key, RequestFrame(8, 0x03, QueryPayload(3)), m, false));
  const KeyRequestRecord& record = key.Firmware().Requests().back();
  EXPECT_EQ(key.Firmware().Requests().size(), 1u);
  EXPECT_EQ(record.transfer.size(), m + 12);
  EXPECT_FALSE(record.framed);
  Bytes answer;
  Drain(key, In, &answer);
  EXPECT_EQ(answer, (Bytes{'N', 'V', 'K', 'W', 7, 6, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, SimKeyPacketTest, ::testing::Values(64, 512));

TEST(SimKeyTest, ClassRequestHaltsEveryBulkEndpointAndResetsTheProtocol) {
  SimKey key(SimKeyUsbConfig::WithExtraEndpoints());
  const test::TestHandshake host;
  ASSERT_TRUE(key.Firmware().HandleTransfer(RequestFrame(1, 0x04, host.Request())).frame);
  ASSERT_TRUE(key.Firmware().KeyEstablished());
  ASSERT_TRUE(SendPackets(key, RequestFrame(2, 0x03, QueryPayload(16)), 64, true));
  ASSERT_TRUE(key.OutPacket(Out, Bytes(64, 0)));  // half a transfer

  ASSERT_TRUE(Synchronize(key));
  EXPECT_FALSE(key.Firmware().KeyEstablished());
  for (const std::uint8_t endpoint : {0x01, 0x81, 0x02, 0x82}) {
    EXPECT_EQ(Halted(key, endpoint), true) << int{endpoint};
  }
  EXPECT_EQ(Halted(key, 0x83), false);
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Stall);
  EXPECT_FALSE(key.OutPacket(Out, Bytes(12, 0)));

  for (const std::uint8_t endpoint : {0x01, 0x81, 0x02, 0x82}) {
    EXPECT_TRUE(ClearHalt(key, endpoint));
    EXPECT_EQ(Halted(key, endpoint), false);
  }
  // The queued answer and the half transfer are gone; the key answers afresh.
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Nak);
  ASSERT_TRUE(SendPackets(key, RequestFrame(3, 0x03, QueryPayload(3)), 64, true));
  Bytes answer;
  Drain(key, In, &answer);
  EXPECT_EQ(answer, (Bytes{'N', 'V', 'K', 'W', 3, 0, 4, 0, 1, 0, 0, 0}));
  // Other bulk endpoints swallow OUT packets and have nothing to send.
  EXPECT_TRUE(key.OutPacket(0x02, Bytes(5, 1)));
  EXPECT_EQ(key.InPacket(0x82).kind, UsbInPacket::Kind::Nak);
}

TEST(SimKeyTest, ClassRequestMustBeExactlyTheSynchronisationRequest) {
  SimKey key;
  EXPECT_FALSE(Request(key, 0x21, 0xFF, 0, 1).has_value());     // interface 1
  EXPECT_FALSE(Request(key, 0x21, 0xFF, 1, 0).has_value());     // wValue 1
  EXPECT_FALSE(Request(key, 0x21, 0xFE, 0, 0).has_value());     // another request
  EXPECT_FALSE(Request(key, 0x21, 0xFF, 0, 0, 2).has_value());  // with data
  EXPECT_EQ(Halted(key, Out), false);
  key.UsbFaults().stallClassRequest = true;
  EXPECT_FALSE(Synchronize(key));
  EXPECT_EQ(Halted(key, Out), false);
}

TEST(SimKeyTest, HaltFaults) {
  SimKey late;
  late.UsbFaults().haltAfterPolls = 3;
  ASSERT_TRUE(Synchronize(late));
  for (int poll = 0; poll < 3; ++poll) {
    EXPECT_EQ(Halted(late, In), false);
  }
  EXPECT_EQ(Halted(late, In), true);
  EXPECT_EQ(Halted(late, Out), false);  // each endpoint counts its own polls

  SimKey stubborn;
  stubborn.UsbFaults().neverHalt = {Out};
  stubborn.UsbFaults().refuseClearHalt = {In};
  ASSERT_TRUE(Synchronize(stubborn));
  EXPECT_EQ(Halted(stubborn, Out), false);
  EXPECT_EQ(Halted(stubborn, In), true);
  EXPECT_FALSE(ClearHalt(stubborn, In));
  EXPECT_EQ(Halted(stubborn, In), true);

  SimKey sticky;
  sticky.UsbFaults().haltSticks = {Out};
  ASSERT_TRUE(Synchronize(sticky));
  EXPECT_TRUE(ClearHalt(sticky, Out));
  EXPECT_EQ(Halted(sticky, Out), true);
  EXPECT_TRUE(ClearHalt(sticky, In));
  EXPECT_EQ(Halted(sticky, In), false);
}

TEST(SimKeyTest, StalledInEndpointForAChosenPacketOfAnAnswer) {
  SimKey key;
  key.UsbFaults().stallIn = {InStallFault{FaultTrigger::OnRequest(2), 1}};
  ASSERT_TRUE(SendPackets(key, RequestFrame(1, 0x03, QueryPayload(16)), 64, true));
  EXPECT_EQ(Drain(key, In), (std::vector<std::size_t>{64, 52}));
  ASSERT_TRUE(SendPackets(key, RequestFrame(2, 0x03, QueryPayload(16)), 64, true));
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Data);
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Stall);
  EXPECT_TRUE(key.IsHalted(In));
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Stall);
  ASSERT_TRUE(ClearHalt(key, In));
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Nak);  // the rest of that answer is gone

  key.UsbFaults().stallIn = {InStallFault{FaultTrigger::OnCommand(0x03, 1), 0}};
  ASSERT_TRUE(SendPackets(key, RequestFrame(3, 0x03, QueryPayload(3)), 64, true));
  EXPECT_EQ(key.InPacket(In).kind, UsbInPacket::Kind::Stall);
}

TEST(SimKeyTest, StalledOutEndpointForAChosenTransfer) {
  SimKey key;
  key.UsbFaults().stallOutTransfers = {2};
  EXPECT_TRUE(SendPackets(key, RequestFrame(1, 0x03, QueryPayload(3)), 64, true));
  EXPECT_FALSE(SendPackets(key, RequestFrame(2, 0x03, QueryPayload(3)), 64, true));
  EXPECT_TRUE(key.IsHalted(Out));
  EXPECT_FALSE(SendPackets(key, RequestFrame(2, 0x03, QueryPayload(3)), 64, true));
  ASSERT_TRUE(ClearHalt(key, Out));
  EXPECT_TRUE(SendPackets(key, RequestFrame(3, 0x03, QueryPayload(3)), 64, true));
  ASSERT_EQ(key.Firmware().Requests().size(), 2u);
  EXPECT_EQ(key.Firmware().Requests()[1].sequence, 3);
  EXPECT_EQ(key.Counts().outTransfers, 3u);
}

TEST(SimKeyTest, PacketsTheKeyCannotTake) {
  SimKey key;
  EXPECT_FALSE(key.OutPacket(0x05, Bytes(4, 0)));  // no such endpoint
  EXPECT_FALSE(key.OutPacket(In, Bytes(4, 0)));    // wrong direction
  EXPECT_FALSE(key.OutPacket(Out, Bytes(65, 0)));  // larger than a packet
  EXPECT_EQ(key.InPacket(0x85).kind, UsbInPacket::Kind::Stall);
  EXPECT_EQ(key.InPacket(Out).kind, UsbInPacket::Kind::Stall);
  EXPECT_EQ(key.Counts().stalls, 5u);
  EXPECT_TRUE(key.Firmware().Requests().empty());
}

TEST(SimKeyTest, StandardRequestsAndTheControlLog) {
  SimKey key;
  EXPECT_EQ(Request(key, 0x80, 0x00, 0, 0, 2), (Bytes{0, 0}));
  EXPECT_EQ(Request(key, 0x81, 0x00, 0, 0, 2), (Bytes{0, 0}));
  EXPECT_EQ(Request(key, 0x80, 0x08, 0, 0, 1), Bytes{1});
  EXPECT_TRUE(Request(key, 0x00, 0x09, 1, 0).has_value());
  EXPECT_TRUE(Request(key, 0x01, 0x0B, 0, 0).has_value());
  EXPECT_FALSE(Request(key, 0x01, 0x0B, 1, 0).has_value());  // no alternate setting 1
  EXPECT_TRUE(Request(key, 0x02, 0x03, 0, In).has_value());  // SET_FEATURE(ENDPOINT_HALT)
  EXPECT_EQ(Halted(key, In), true);
  EXPECT_FALSE(Request(key, 0x82, 0x00, 0, 0x86, 2).has_value());
  EXPECT_FALSE(Request(key, 0x40, 0x01, 0, 0).has_value());

  const std::vector<KeyControlRecord>& log = key.ControlRequests();
  ASSERT_EQ(log.size(), 10u);
  EXPECT_EQ(log[2].setup.request, 0x08);
  EXPECT_EQ(log[2].data, Bytes{1});
  EXPECT_FALSE(log[2].stalled);
  EXPECT_EQ(log[7].setup.index, In);
  EXPECT_EQ(log[7].data, (Bytes{1, 0}));
  EXPECT_TRUE(log[9].stalled);
}

}  // namespace
}  // namespace nevrik
