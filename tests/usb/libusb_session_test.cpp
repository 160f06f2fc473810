// The device session over the libusb backend and the emulated USB bus, against the simulated key:
// what the updater does with a key, through every layer the shipped program uses.
#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>

#include <cstring>
#include <vector>

#include "protocol/device_session.h"
#include "protocol/frame.h"
#include "tests/usb/emulated_bus_fixture.h"

namespace nevrik::test {
namespace {

constexpr std::uint8_t FrameOut = 0x01;

std::vector<int> BulkOutUrbLengths(const std::vector<UrbRecord>& urbs) {
  std::vector<int> lengths;
  for (const UrbRecord& urb : urbs) {
    if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == FrameOut) {
      lengths.push_back(urb.length);
    }
  }
  return lengths;
}

class SessionOverTheBus : public EmulatedBusTest, public ::testing::WithParamInterface<int> {
 protected:
  PluggedKey PlugKeyWithPackets() {
    SimKeyUsbConfig usb;
    usb.maxPacketSize = static_cast<std::uint16_t>(GetParam());
    return PlugKey(usb);
  }

  std::unique_ptr<DeviceSession> SynchronizedSession() {
    EXPECT_TRUE(enumerator.Enumerate());
    std::unique_ptr<DeviceSession> session = DeviceSession::Create(enumerator);
    EXPECT_NE(session, nullptr);
    if (session != nullptr) {
      EXPECT_TRUE(session->Synchronize());
    }
    return session;
  }
};

TEST_P(SessionOverTheBus, SynchronizesAndRunsASecureRoundTrip) {
  const PluggedKey key = PlugKeyWithPackets();
  const std::unique_ptr<DeviceSession> session = SynchronizedSession();
  ASSERT_NE(session, nullptr);

  DeviceStatus status{};
  ASSERT_EQ(session->GetStatus(status), StatusCode::Success);
  EXPECT_EQ(status.FirmwareMajor(), 1);
  EXPECT_EQ(status.FirmwareMinor(), 5);

  ASSERT_EQ(session->EstablishSecureMessaging(), StatusCode::Success);
  EXPECT_TRUE(key.key->Firmware().KeyEstablished());
  std::uint32_t check = 0;
  ASSERT_EQ(session->Query(SyncCheck, check), StatusCode::Success);  // secure now
  EXPECT_EQ(check, 1u);
  ASSERT_EQ(session->GetStatus(status), StatusCode::Success);
  EXPECT_EQ(status.FirmwareMinor(), 5);

  const std::vector<KeyRequestRecord>& requests = key.key->Firmware().Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_TRUE(requests.back().secure);
  EXPECT_TRUE(requests[requests.size() - 2].secure);
  EXPECT_EQ(key.key->PendingOutBytes(), 0u);
  EXPECT_EQ(key.key->PendingInPackets(), 0u);
}

TEST_P(SessionOverTheBus, ResponseFillingItsLastPacketLeavesNothingBehind) {
  const PluggedKey key = PlugKeyWithPackets();
  const std::unique_ptr<DeviceSession> session = SynchronizedSession();
  ASSERT_NE(session, nullptr);

  // The second request's answer is padded to exactly one packet, header included.
  const auto payloadSize = static_cast<std::size_t>(GetParam() - 8);
  key.key->Firmware().Faults().responses.push_back(
      ResponseFault::PayloadSize(FaultTrigger::OnRequest(2), payloadSize));
  std::uint8_t* payload = session->PreparePayload(4);
  ASSERT_NE(payload, nullptr);
  const std::uint32_t selector = SyncCheck;
  std::memcpy(payload, &selector, sizeof selector);
  std::vector<std::uint8_t> response;
  ASSERT_EQ(session->Transact(CmdQuery, false, 4, response), StatusCode::Success);
  EXPECT_EQ(response.size(), payloadSize);
  EXPECT_EQ(key.key->PendingInPackets(), 0u);  // the zero-length packet was read

  std::uint32_t check = 0;
  ASSERT_EQ(session->Query(SyncCheck, check), StatusCode::Success);
  EXPECT_EQ(check, 1u);
}

TEST_P(SessionOverTheBus, RequestFillingItsLastPacketEndsWithAZeroLengthPacket) {
  const PluggedKey key = PlugKeyWithPackets();
  const std::unique_ptr<DeviceSession> session = SynchronizedSession();
  ASSERT_NE(session, nullptr);
  const std::size_t urbsBefore = BulkOutUrbLengths(bus.SubmittedUrbs(key.id)).size();

  // A query whose frame is exactly one packet: the key refuses the long selector, but only if
  // the transfer ended with the packet.
  const auto payloadSize = static_cast<std::uint32_t>(GetParam() - 8);
  std::uint8_t* payload = session->PreparePayload(payloadSize);
  ASSERT_NE(payload, nullptr);
  std::memset(payload, 0, payloadSize);
  std::vector<std::uint8_t> response;
  EXPECT_EQ(session->Transact(CmdQuery, false, payloadSize, response), StatusCode::BadParameter);
  const std::vector<int> urbs = BulkOutUrbLengths(bus.SubmittedUrbs(key.id));
  EXPECT_EQ(std::vector<int>(urbs.begin() + static_cast<std::ptrdiff_t>(urbsBefore), urbs.end()),
            (std::vector<int>{GetParam(), 0}));
  EXPECT_EQ(key.key->PendingOutBytes(), 0u);

  std::uint32_t check = 0;
  ASSERT_EQ(session->Query(SyncCheck, check), StatusCode::Success);
  EXPECT_EQ(check, 1u);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, SessionOverTheBus, ::testing::Values(64, 512));

using SessionOpening = EmulatedBusTest;

TEST_F(SessionOpening, KeyHeldByAnotherProgramGivesNoSession) {
  const PluggedKey key = PlugKey();
  bus.SetClaimedElsewhere(key.id, 0, true);
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(DeviceSession::Create(enumerator), nullptr);
  EXPECT_TRUE(key.key->Firmware().Requests().empty());
}

}  // namespace
}  // namespace nevrik::test
