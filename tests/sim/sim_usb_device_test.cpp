#include "sim/sim_usb_device.h"

#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/sim_key.h"
#include "sim/sim_usb_enumerator.h"
#include "tests/sim/key_test_host.h"

namespace nevrik {
namespace {

using test::AnswerFrame;
using test::Bytes;
using test::QueryPayload;
using test::RequestFrame;

// One exchange as the protocol makes it: the frame on OUT pipe 0, then the 8-byte header and the
// payload read separately from IN pipe 0.
std::optional<AnswerFrame> Transact(KvUsbDevice& device, const Bytes& frame) {
  if (!device.Write(0, frame.data(), static_cast<std::uint32_t>(frame.size()))) {
    return std::nullopt;
  }
  Bytes answer(8);
  std::uint32_t got = 0;
  if (!device.Read(0, answer.data(), 8, &got) || got != 8) {
    return std::nullopt;
  }
  const std::uint16_t length = static_cast<std::uint16_t>(answer[6] | answer[7] << 8);
  if (length != 0) {
    answer.resize(8u + length);
    if (!device.Read(0, answer.data() + 8, length, &got) || got != length) {
      return std::nullopt;
    }
  }
  return test::ParseAnswer(answer);
}

void EnableShortPackets(KvUsbDevice& device) {
  for (unsigned i = 0; i < device.GetOutPipeCount(); ++i) {
    EXPECT_TRUE(device.EnableShortPacketTerminate(device.GetOutPipeId(i)));
  }
  for (unsigned i = 0; i < device.GetInPipeCount(); ++i) {
    EXPECT_TRUE(device.EnableShortPacketTerminate(device.GetInPipeId(i)));
  }
}

std::shared_ptr<SimKey> MakeKey(std::uint16_t packetSize = 64) {
  SimKeyUsbConfig config;
  config.maxPacketSize = packetSize;
  return std::make_shared<SimKey>(config);
}

TEST(SimUsbDeviceTest, PipesAreTheBulkEndpointsOfAlternateSettingZeroInOrder) {
  SimKeyUsbConfig config;
  config.endpoints = {
      {0x83, SimEndpointType::Interrupt, 16, 1}, {0x82, SimEndpointType::Bulk, 64, 0},
      {0x04, SimEndpointType::Bulk, 0, 0},       {0x02, SimEndpointType::Bulk, 64, 0},
      {0x81, SimEndpointType::Bulk, 64, 0},      {0x01, SimEndpointType::Bulk, 64, 0}};
  config.alternateSetting1 = {{0x05, SimEndpointType::Bulk, 64, 0},
                              {0x85, SimEndpointType::Bulk, 64, 0}};
  const auto key = std::make_shared<SimKey>(config);
  SimUsbDevice device(key);
  ASSERT_EQ(device.GetOutPipeCount(), 2u);
  ASSERT_EQ(device.GetInPipeCount(), 2u);
  EXPECT_EQ(device.GetOutPipeId(0), 0x02);
  EXPECT_EQ(device.GetOutPipeId(1), 0x01);
  EXPECT_EQ(device.GetInPipeId(0), 0x82);
  EXPECT_EQ(device.GetInPipeId(1), 0x81);
  EXPECT_THROW(device.GetInPipeId(2), std::out_of_range);
  EXPECT_THROW(device.GetOutPipeId(2), std::out_of_range);

  // The key carries frames on the same first bulk endpoints.
  EXPECT_EQ(key->FrameOutEndpoint(), 0x02);
  EXPECT_EQ(key->FrameInEndpoint(), 0x82);
  const std::optional<AnswerFrame> answer = Transact(device, RequestFrame(1, 3, QueryPayload(3)));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->payload, (Bytes{1, 0, 0, 0}));
}

class SimUsbDevicePacketTest : public ::testing::TestWithParam<std::uint16_t> {
 protected:
  std::uint32_t M() const { return GetParam(); }
  std::shared_ptr<SimKey> key = MakeKey(GetParam());
  SimUsbDevice device{key};
};

TEST_P(SimUsbDevicePacketTest, WriteAddsTheZeroLengthPacketOnlyWhenAskedTo) {
  const Bytes full = RequestFrame(1, 0x10, Bytes(M() - 8, 0));
  ASSERT_TRUE(device.Write(0, full.data(), M()));
  EXPECT_EQ(device.Counts().outPackets, 1u);
  EXPECT_EQ(key->PendingOutBytes(), M());  // the key is still waiting

  ASSERT_TRUE(device.EnableShortPacketTerminate(0x01));
  ASSERT_TRUE(device.Write(0, full.data(), M()));
  EXPECT_EQ(device.Counts().outPackets, 3u);
  EXPECT_EQ(key->PendingOutBytes(), 0u);
  // The two frames reached the key as one transfer.
  ASSERT_EQ(key->Firmware().Requests().size(), 1u);
  EXPECT_EQ(key->Firmware().Requests()[0].transfer.size(), 2 * M());

  // A short transfer needs no zero-length packet; an empty one is one empty packet.
  const Bytes query = RequestFrame(2, 3, QueryPayload(3));
  ASSERT_TRUE(device.Write(0, query.data(), static_cast<std::uint32_t>(query.size())));
  EXPECT_EQ(device.Counts().outPackets, 4u);
  ASSERT_TRUE(device.Write(0, nullptr, 0));
  EXPECT_EQ(device.Counts().outPackets, 5u);
  EXPECT_EQ(key->Firmware().Requests().back().transfer.size(), 0u);
  EXPECT_FALSE(device.Write(0, nullptr, 5));
  EXPECT_FALSE(device.Write(1, query.data(), 1));
  EXPECT_EQ(device.Counts().outPackets, 5u);
}

TEST_P(SimUsbDevicePacketTest, ReadsTakeHeaderThenPayloadAndConsumeTheZeroLengthPacket) {
  EnableShortPackets(device);
  key->Firmware().Faults().responses = {
      ResponseFault::PayloadSize(FaultTrigger::OnCommand(3, 1), M() - 8)};
  std::optional<AnswerFrame> answer = Transact(device, RequestFrame(1, 3, QueryPayload(3)));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->payload.size(), M() - 8);
  EXPECT_EQ(device.Counts().rawReads, 2u);  // the packet, then the zero-length packet
  EXPECT_EQ(key->PendingInPackets(), 0u);

  // The next answer is not mistaken for the rest of the last one.
  answer = Transact(device, RequestFrame(2, 3, QueryPayload(16)));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->sequence, 2);
  EXPECT_EQ(answer->payload.size(), 108u);
  const auto record = key->Firmware().StatusRecord();
  EXPECT_EQ(answer->payload, Bytes(record.begin(), record.end()));
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, SimUsbDevicePacketTest, ::testing::Values(64, 512));

TEST(SimUsbDeviceTest, AReadThatWouldBlockFailsAndIsCounted) {
  const auto key = MakeKey();
  SimUsbDevice device(key);
  std::uint8_t header[8];
  std::uint32_t got = 0;
  EXPECT_FALSE(device.Read(0, header, 8, &got));
  EXPECT_EQ(device.Counts().blockedReads, 1u);
  EXPECT_EQ(key->Counts().naks, 1u);
  EXPECT_FALSE(device.Read(1, header, 8, &got));
  EXPECT_FALSE(device.Read(0, nullptr, 8, &got));
  EXPECT_EQ(device.Counts().rawReads, 1u);
}

TEST(SimUsbDeviceTest, HaltsAreSeenAndClearedAndAbortDropsStagedBytes) {
  const auto key = MakeKey();
  SimUsbDevice device(key);
  // As WinUSB does, the interface number goes into the low byte of wIndex.
  ASSERT_TRUE(device.ControlTransfer(0x21, 0xFF, 0, 0x0007, 0, nullptr));
  EXPECT_EQ(key->ControlRequests().back().setup.index, 0);
  EXPECT_TRUE(device.IsPipeHalted(0x01));
  EXPECT_TRUE(device.IsPipeHalted(0x81));
  const Bytes query = RequestFrame(1, 3, QueryPayload(16));
  EXPECT_FALSE(device.Write(0, query.data(), static_cast<std::uint32_t>(query.size())));
  EXPECT_EQ(device.Counts().stalledTransfers, 1u);

  key->UsbFaults().refuseClearHalt = {0x81};
  EXPECT_TRUE(device.ResetPipe(0x01));
  EXPECT_FALSE(device.ResetPipe(0x81));
  EXPECT_FALSE(device.IsPipeHalted(0x01));
  EXPECT_TRUE(device.IsPipeHalted(0x81));
  key->UsbFaults().refuseClearHalt.clear();
  EXPECT_TRUE(device.ResetPipe(0x81));
  EXPECT_FALSE(device.IsPipeHalted(0x81));
  EXPECT_FALSE(device.ResetPipe(0x02));
  EXPECT_FALSE(device.IsPipeHalted(0x86));  // the key stalls GET_STATUS for it

  ASSERT_TRUE(device.Write(0, query.data(), static_cast<std::uint32_t>(query.size())));
  std::uint8_t header[8];
  std::uint32_t got = 0;
  ASSERT_TRUE(device.Read(0, header, 8, &got));
  EXPECT_EQ(device.InPipeAt(0).available - device.InPipeAt(0).position, 56);
  EXPECT_TRUE(device.AbortPipe(0x81));
  EXPECT_EQ(device.InPipeAt(0).available, 0);
  EXPECT_FALSE(device.AbortPipe(0x83));
}

TEST(SimUsbDeviceTest, PipeTimeoutsAreKeptAndAClosedDeviceDoesNothing) {
  const auto key = MakeKey();
  SimUsbDevice device(key);
  EXPECT_TRUE(device.SetPipeTimeout(0x81, 250));
  EXPECT_EQ(device.PipeTimeout(0x81), 250u);
  EXPECT_EQ(device.PipeTimeout(0x01), 0u);
  EXPECT_FALSE(device.SetPipeTimeout(0x02, 250));
  EXPECT_FALSE(device.EnableShortPacketTerminate(0x02));

  device.Close();
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetOutPipeCount(), 0u);
  EXPECT_EQ(device.GetInPipeCount(), 0u);
  const Bytes query = RequestFrame(1, 3, QueryPayload(3));
  EXPECT_FALSE(device.Write(0, query.data(), static_cast<std::uint32_t>(query.size())));
  EXPECT_FALSE(device.ControlTransfer(0x21, 0xFF, 0, 0, 0, nullptr));
  EXPECT_FALSE(device.IsPipeHalted(0x81));
  EXPECT_TRUE(key->ControlRequests().empty());
  device.Close();
}

TEST(SimUsbEnumeratorTest, NoKeys) {
  SimUsbEnumerator enumerator;
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_TRUE(enumerator.IsEmpty());
  EXPECT_EQ(enumerator.GetCount(), 0u);
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::OpenFailed);
  EXPECT_EQ(device, nullptr);
  EXPECT_THROW(enumerator.OpenDeviceOrNull(0), std::out_of_range);
}

TEST(SimUsbEnumeratorTest, KeysAreListedInAttachmentOrderAndOpenedByIndex) {
  const auto first = MakeKey();
  const auto second = MakeKey(512);
  SimUsbEnumerator enumerator;
  enumerator.Attach(first);
  enumerator.Attach(second);
  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 2u);
  std::unique_ptr<KvUsbDevice> device;
  ASSERT_EQ(enumerator.OpenDevice(1, device), UsbOpenResult::Opened);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->IsOpen());
  ASSERT_TRUE(Transact(*device, RequestFrame(1, 3, QueryPayload(3))).has_value());
  EXPECT_TRUE(first->Firmware().Requests().empty());
  EXPECT_EQ(second->Firmware().Requests().size(), 1u);
  EXPECT_EQ(enumerator.OpenDevice(2, device), UsbOpenResult::OpenFailed);
  EXPECT_EQ(device, nullptr);
  // A second Enumerate replaces the list.
  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 2u);
}

TEST(SimUsbEnumeratorTest, OpeningCanBeRefused) {
  const auto key = MakeKey();
  SimUsbEnumerator enumerator;
  enumerator.Attach(key, UsbOpenResult::AccessDenied);
  enumerator.Enumerate();
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::AccessDenied);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(enumerator.OpenDeviceOrNull(0), nullptr);
  enumerator.SetOpenResult(*key, UsbOpenResult::OpenFailed);
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::OpenFailed);
  enumerator.SetOpenResult(*key, UsbOpenResult::Opened);
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);

  // Unplugged after the list was made: gone, until the next Enumerate forgets it.
  enumerator.Detach(*key);
  EXPECT_EQ(enumerator.GetCount(), 1u);
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::PathNotFound);
  EXPECT_EQ(device, nullptr);
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.OpenedCount(), 1u);
}

TEST(SimUsbEnumeratorTest, OpenedDeviceOutlivesTheEnumeratorWithShortPacketsOff) {
  const auto key = MakeKey();
  std::unique_ptr<KvUsbDevice> device;
  {
    SimUsbEnumerator enumerator;
    enumerator.Attach(key);
    enumerator.Enumerate();
    device = enumerator.OpenDeviceOrNull(0);
  }
  ASSERT_NE(device, nullptr);
  const Bytes full = RequestFrame(1, 0x10, Bytes(56, 0));
  ASSERT_TRUE(device->Write(0, full.data(), 64));
  EXPECT_EQ(key->PendingOutBytes(), 64u);
}

// The steps a host takes to synchronise, then a whole secure update at 512-byte packets.
TEST(SimUsbDeviceTest, WholeUpdateThroughTheDevice) {
  SimKeyUsbConfig usb;
  usb.maxPacketSize = 512;
  SimKeyFirmwareConfig firmware;
  firmware.soPin = Bytes{'2', '4', '6', '8'};
  const auto key = std::make_shared<SimKey>(usb, firmware);
  SimUsbEnumerator enumerator;
  enumerator.Attach(key);
  ASSERT_TRUE(enumerator.Enumerate());
  std::unique_ptr<KvUsbDevice> device = enumerator.OpenDeviceOrNull(0);
  ASSERT_NE(device, nullptr);
  EnableShortPackets(*device);

  ASSERT_TRUE(device->ControlTransfer(0x21, 0xFF, 0, 0, 0, nullptr));
  for (const std::uint8_t pipe : {device->GetOutPipeId(0), device->GetInPipeId(0)}) {
    EXPECT_TRUE(device->IsPipeHalted(pipe));
    EXPECT_TRUE(device->AbortPipe(pipe));
    EXPECT_TRUE(device->ResetPipe(pipe));
    EXPECT_FALSE(device->IsPipeHalted(pipe));
  }
  std::uint8_t sequence = 0;
  ASSERT_EQ(Transact(*device, RequestFrame(++sequence, 3, QueryPayload(3)))->payload,
            (Bytes{1, 0, 0, 0}));

  const test::TestHandshake host;
  const std::optional<AnswerFrame> handshake =
      Transact(*device, RequestFrame(++sequence, 4, host.Request()));
  ASSERT_TRUE(handshake.has_value());
  const std::optional<test::TestKeys> keys = host.Finish(handshake->payload);
  ASSERT_TRUE(keys.has_value());
  const auto secure = [&](std::uint8_t command, const Bytes& payload) {
    std::optional<AnswerFrame> answer =
        Transact(*device, RequestFrame(++sequence, command | 0x80, test::Crypt(*keys, payload)));
    if (answer && answer->Status() == 0) {
      answer->payload = test::Crypt(*keys, answer->payload);
    }
    return answer;
  };

  Bytes image(3 * 8192 + 100);
  for (std::size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<std::uint8_t>(i * 13 + (i >> 8));
  }
  const auto size = static_cast<std::uint32_t>(image.size());
  Bytes setup{8,
              0,
              6,
              0x60,
              0xFF,
              0,
              0xFF,
              0xFF,
              static_cast<std::uint8_t>(size),
              static_cast<std::uint8_t>(size >> 8),
              static_cast<std::uint8_t>(size >> 16),
              0,
              '2',
              '4',
              '6',
              '8'};
  ASSERT_EQ(secure(0x20, setup)->statusByte, 0x80);
  for (std::size_t offset = 0; offset < image.size(); offset += 8192) {
    const std::size_t chunk = std::min<std::size_t>(8192, image.size() - offset);
    const Bytes part(image.begin() + static_cast<std::ptrdiff_t>(offset),
                     image.begin() + static_cast<std::ptrdiff_t>(offset + chunk));
    ASSERT_EQ(secure(0x23, part)->statusByte, 0x80);
  }
  Bytes digest(32);
  CryptoPP::SHA256().CalculateDigest(digest.data(), image.data(), image.size());
  EXPECT_EQ(secure(0x24, {})->payload, digest);
  EXPECT_EQ(Transact(*device, RequestFrame(++sequence, 0x25))->statusByte, 0);
  const Bytes final = RequestFrame(++sequence, 0x21);
  ASSERT_TRUE(device->Write(0, final.data(), 8));

  const std::optional<AnswerFrame> status =
      Transact(*device, RequestFrame(++sequence, 3, QueryPayload(16)));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->payload[102], 2);
  EXPECT_EQ(status->payload[103], 0);
  EXPECT_EQ(status->payload[1], 0);
  // Everything went out in order, with the sequence numbers the host gave.
  const std::vector<KeyRequestRecord>& log = key->Firmware().Requests();
  ASSERT_EQ(log.size(), sequence);
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].sequence, i + 1);
    EXPECT_TRUE(log[i].framed);
  }
  EXPECT_EQ(device->GetInPipeCount(), 1u);
  EXPECT_EQ(key->Counts().naks, 0u);
}

}  // namespace
}  // namespace nevrik
