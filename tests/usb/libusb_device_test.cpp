// LibUsbDevice against devices on the emulated USB bus: pipes, what goes over the wire, and what
// the layers above see.
#include "usb/libusb_device.h"

#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/usb/emulated_bus_fixture.h"
#include "usb/libusb_device_path.h"

namespace nevrik::test {
namespace {

constexpr std::uint8_t OutPipe = 0x01;
constexpr std::uint8_t InPipe = 0x81;

// The lengths of the bulk URBs that went to one endpoint.
std::vector<int> BulkUrbLengths(const std::vector<UrbRecord>& urbs, std::uint8_t endpoint) {
  std::vector<int> lengths;
  for (const UrbRecord& urb : urbs) {
    if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == endpoint) {
      lengths.push_back(urb.length);
    }
  }
  return lengths;
}

Bytes ReadExactly(KvUsbDevice& device, std::size_t length) {
  Bytes received(length);
  std::uint32_t transferred = 0;
  EXPECT_TRUE(device.Read(0, received.data(), static_cast<std::uint32_t>(length), &transferred));
  received.resize(transferred);
  return received;
}

bool WriteAll(KvUsbDevice& device, const Bytes& bytes) {
  return device.Write(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

void EnableShortPacketTerminateEverywhere(KvUsbDevice& device) {
  for (unsigned i = 0; i < device.GetOutPipeCount(); ++i) {
    EXPECT_TRUE(device.EnableShortPacketTerminate(device.GetOutPipeId(i)));
  }
  for (unsigned i = 0; i < device.GetInPipeCount(); ++i) {
    EXPECT_TRUE(device.EnableShortPacketTerminate(device.GetInPipeId(i)));
  }
}

using LibUsbDeviceOnBus = EmulatedBusTest;

TEST_F(LibUsbDeviceOnBus, PipesAreTheBulkEndpointsInDescriptorOrder) {
  StandInPlan plan = KeyPlan();
  plan.interfaces[0].endpoints = {{0x83, 3, 64}, {0x82, 2, 64}, {0x02, 2, 64}, {0x84, 2, 0},
                                  {0x81, 2, 64}, {0x01, 2, 64}, {0x03, 2, 0}};
  const PluggedStandIn key = PlugStandIn(plan);
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(device->GetInPipeCount(), 2u);
  ASSERT_EQ(device->GetOutPipeCount(), 2u);
  EXPECT_EQ(device->GetInPipeId(0), 0x82);
  EXPECT_EQ(device->GetInPipeId(1), 0x81);
  EXPECT_EQ(device->GetOutPipeId(0), 0x02);
  EXPECT_EQ(device->GetOutPipeId(1), 0x01);
  EXPECT_THROW(device->GetInPipeId(2), std::out_of_range);
  EXPECT_THROW(device->GetOutPipeId(2), std::out_of_range);

  // Index 0 of each direction is the pair the stand-in echoes on.
  EnableShortPacketTerminateEverywhere(*device);
  const Bytes sent = Pattern(10, 1);
  ASSERT_TRUE(WriteAll(*device, sent));
  EXPECT_EQ(ReadExactly(*device, 10), sent);
  EXPECT_EQ(key.function->PacketSizes(0x02), std::vector<std::size_t>{10});
}

class FullLastPacket : public EmulatedBusTest, public ::testing::WithParamInterface<int> {};

TEST_P(FullLastPacket, IsFollowedByAZeroLengthPacketBothWays) {
  const int packetSize = GetParam();
  const PluggedStandIn key = PlugStandIn(KeyPlan(static_cast<std::uint16_t>(packetSize)));
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EnableShortPacketTerminateEverywhere(*device);

  const auto size = static_cast<std::size_t>(packetSize);
  const Bytes request = Pattern(2 * size, 9);
  ASSERT_TRUE(WriteAll(*device, request));
  EXPECT_EQ(key.function->PacketSizes(OutPipe), (std::vector<std::size_t>{size, size, 0}));
  EXPECT_EQ(BulkUrbLengths(bus.SubmittedUrbs(key.id), OutPipe),
            (std::vector<int>{2 * packetSize, 0}));

  // The echo fills its last packet too: the read takes the whole packets straight, then the
  // zero-length packet that ends the transfer through staging.
  EXPECT_EQ(ReadExactly(*device, 2 * size), request);
  EXPECT_EQ(key.function->PacketSizes(InPipe), (std::vector<std::size_t>{size, size, 0}));
  EXPECT_EQ(BulkUrbLengths(bus.SubmittedUrbs(key.id), InPipe),
            (std::vector<int>{2 * packetSize, packetSize}));

  // The zero-length packet was consumed, not taken for the next response.
  const Bytes next = Pattern(10, 4);
  ASSERT_TRUE(WriteAll(*device, next));
  EXPECT_EQ(ReadExactly(*device, 10), next);
}

TEST_P(FullLastPacket, ReadInPiecesConsumesTheZeroLengthPacket) {
  const int packetSize = GetParam();
  const PluggedStandIn key = PlugStandIn(KeyPlan(static_cast<std::uint16_t>(packetSize)));
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EnableShortPacketTerminateEverywhere(*device);

  const auto size = static_cast<std::size_t>(packetSize);
  const Bytes response = Pattern(size, 2);
  ASSERT_TRUE(WriteAll(*device, response));
  const Bytes header = ReadExactly(*device, 8);       // stages the packet
  const Bytes rest = ReadExactly(*device, size - 8);  // from staging, then the empty packet
  EXPECT_EQ(header, Bytes(response.begin(), response.begin() + 8));
  EXPECT_EQ(rest, Bytes(response.begin() + 8, response.end()));
  EXPECT_EQ(BulkUrbLengths(bus.SubmittedUrbs(key.id), InPipe),
            (std::vector<int>{packetSize, packetSize}));
  EXPECT_EQ(key.function->PacketSizes(InPipe), (std::vector<std::size_t>{size, 0}));
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, FullLastPacket, ::testing::Values(64, 512));

TEST_F(LibUsbDeviceOnBus, WithoutShortPacketTerminationNoZeroLengthPacketGoesOut) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(WriteAll(*device, Pattern(64, 5)));
  EXPECT_EQ(key.function->PacketSizes(OutPipe), std::vector<std::size_t>{64});
  // The device still waits for the end of the transfer, so nothing comes back.
  ASSERT_TRUE(device->SetPipeTimeout(InPipe, 30));
  Bytes received(64);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(device->Read(0, received.data(), 64, &transferred));
}

TEST_F(LibUsbDeviceOnBus, WholePacketsGoStraightToTheCaller) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EnableShortPacketTerminateEverywhere(*device);
  const Bytes response = Pattern(200, 6);
  ASSERT_TRUE(WriteAll(*device, response));
  EXPECT_EQ(ReadExactly(*device, 200), response);
  EXPECT_EQ(BulkUrbLengths(bus.SubmittedUrbs(key.id), InPipe), (std::vector<int>{192, 64}));
}

TEST_F(LibUsbDeviceOnBus, ClassRequestHaltIsSeenAndCleared) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(device->IsPipeHalted(OutPipe));
  EXPECT_FALSE(device->IsPipeHalted(InPipe));

  ASSERT_TRUE(device->ControlTransfer(0x21, 0xFF, 0, 0, 0, nullptr));
  EXPECT_TRUE(device->IsPipeHalted(OutPipe));
  EXPECT_TRUE(device->IsPipeHalted(InPipe));
  EXPECT_FALSE(WriteAll(*device, Pattern(4, 1)));

  EXPECT_TRUE(device->AbortPipe(OutPipe));
  EXPECT_TRUE(device->ResetPipe(OutPipe));
  EXPECT_TRUE(device->AbortPipe(InPipe));
  EXPECT_TRUE(device->ResetPipe(InPipe));
  EXPECT_FALSE(device->IsPipeHalted(OutPipe));
  EXPECT_FALSE(device->IsPipeHalted(InPipe));
  EXPECT_FALSE(key.function->IsHalted(OutPipe));
  EXPECT_FALSE(key.function->IsHalted(InPipe));

  EnableShortPacketTerminateEverywhere(*device);
  const Bytes sent = Pattern(12, 8);
  ASSERT_TRUE(WriteAll(*device, sent));
  EXPECT_EQ(ReadExactly(*device, 12), sent);
}

TEST_F(LibUsbDeviceOnBus, FailedGetStatusReadsAsNotHalted) {
  StandInPlan plan = KeyPlan();
  plan.stallsGetStatus = true;
  const PluggedStandIn key = PlugStandIn(plan);
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  ASSERT_TRUE(device->ControlTransfer(0x21, 0xFF, 0, 0, 0, nullptr));
  ASSERT_TRUE(key.function->IsHalted(InPipe));
  EXPECT_FALSE(device->IsPipeHalted(InPipe));
}

TEST_F(LibUsbDeviceOnBus, InterfaceRequestsCarryTheInterfaceNumberAsFromWindows) {
  StandInPlan plan = KeyPlan(64, 1);
  plan.interfaces.insert(plan.interfaces.begin(), StandInInterface{0, 0x03, {}});
  const PluggedStandIn key = PlugStandIn(plan);
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  const std::size_t before = key.function->ControlRequests().size();

  ASSERT_TRUE(device->ControlTransfer(0x21, 0xFF, 0, 0, 0, nullptr));
  std::uint8_t status[2] = {};
  ASSERT_TRUE(device->ControlTransfer(0x81, 0x00, 0, 0x0300, 2, status));    // GET_STATUS
  ASSERT_FALSE(device->ControlTransfer(0x40, 0x42, 0, 0x0300, 0, nullptr));  // not understood

  const std::vector<UsbSetupPacket> requests = key.function->ControlRequests();
  ASSERT_EQ(requests.size(), before + 3);
  EXPECT_EQ(requests[before].index, 0x0001);
  EXPECT_EQ(requests[before + 1].index, 0x0301);
  EXPECT_EQ(requests[before + 2].index, 0x0300);  // a device request keeps its wIndex
}

TEST_F(LibUsbDeviceOnBus, AbortPipeDropsStagedBytes) {
  PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EnableShortPacketTerminateEverywhere(*device);
  ASSERT_TRUE(WriteAll(*device, Pattern(20, 1)));
  ASSERT_EQ(ReadExactly(*device, 8).size(), 8u);  // 12 bytes stay staged
  EXPECT_TRUE(device->AbortPipe(InPipe));
  const Bytes fresh = Pattern(5, 50);
  ASSERT_TRUE(WriteAll(*device, fresh));
  EXPECT_EQ(ReadExactly(*device, 5), fresh);
  EXPECT_FALSE(device->AbortPipe(0x82));
}

TEST_F(LibUsbDeviceOnBus, PipeTimeoutsAreKeptPerPipe) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->SetPipeTimeout(InPipe, 20));
  EXPECT_TRUE(device->SetPipeTimeout(OutPipe, 20));
  EXPECT_TRUE(device->SetPipeTimeout(0x00, 20));  // the default control pipe
  EXPECT_FALSE(device->SetPipeTimeout(0x82, 20));

  Bytes received(8);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(device->Read(0, received.data(), 8, &transferred));  // nothing came in time

  // A time-out of 0 waits without limit: an answer the device holds back for a while is read.
  EnableShortPacketTerminateEverywhere(*device);
  ASSERT_TRUE(device->SetPipeTimeout(InPipe, 0));
  key.function->HoldAnswers(true);
  ASSERT_TRUE(WriteAll(*device, Pattern(3, 3)));
  std::thread release([&key] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    key.function->HoldAnswers(false);
  });
  EXPECT_TRUE(device->Read(0, received.data(), 8, &transferred));
  release.join();
  EXPECT_EQ(transferred, 3u);
}

// libusb's event handling fails while the key holds its answer back: the transfer is cancelled
// and the read fails, rather than waiting without limit; the pipe then works as before.
TEST_F(LibUsbDeviceOnBus, FailedEventHandlingCancelsTheTransferInFlight) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EnableShortPacketTerminateEverywhere(*device);
  ASSERT_TRUE(device->SetPipeTimeout(InPipe, 0));
  key.function->HoldAnswers(true);
  ASSERT_TRUE(WriteAll(*device, Pattern(3, 3)));
  bus.FailNextReap(key.id, EIO);

  Bytes received(8);
  std::uint32_t transferred = 0;
  std::future<bool> read = std::async(
      std::launch::async, [&] { return device->Read(0, received.data(), 8, &transferred); });
  if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the read waits on after its event handling failed";
  }
  key.function->HoldAnswers(false);
  EXPECT_FALSE(read.get());
  EXPECT_EQ(ReadExactly(*device, 3), Pattern(3, 3));
}

TEST_F(LibUsbDeviceOnBus, WritesAndReadsRefuseBadArguments) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  const std::size_t urbsBefore = bus.SubmittedUrbs(key.id).size();
  std::uint8_t buffer[8] = {};
  std::uint32_t transferred = 99;
  EXPECT_FALSE(device->Write(0, nullptr, 5));
  EXPECT_FALSE(device->Write(1, buffer, 8));
  EXPECT_FALSE(device->Read(1, buffer, 8, &transferred));
  EXPECT_FALSE(device->Read(0, nullptr, 8, &transferred));
  EXPECT_FALSE(device->Read(0, buffer, 0, &transferred));
  EXPECT_FALSE(device->Read(0, buffer, 8, nullptr));
  EXPECT_FALSE(device->ControlTransfer(0xC0, 0x20, 0, 7, 8, nullptr));
  EXPECT_FALSE(device->EnableShortPacketTerminate(0x82));
  EXPECT_EQ(transferred, 99u);
  EXPECT_EQ(bus.SubmittedUrbs(key.id).size(), urbsBefore);

  EXPECT_TRUE(device->Write(0, nullptr, 0));  // a zero-length transfer
  EXPECT_EQ(BulkUrbLengths(bus.SubmittedUrbs(key.id), OutPipe), std::vector<int>{0});
  EXPECT_EQ(key.function->PacketSizes(OutPipe), std::vector<std::size_t>{0});
}

TEST_F(LibUsbDeviceOnBus, UnpluggedDeviceFailsEveryTransfer) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  bus.Unplug(key.id);
  EXPECT_FALSE(WriteAll(*device, Pattern(4, 1)));
  Bytes received(4);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(device->Read(0, received.data(), 4, &transferred));
  EXPECT_FALSE(device->IsPipeHalted(InPipe));
  EXPECT_FALSE(device->ResetPipe(InPipe));
  device->Close();
  EXPECT_FALSE(device->IsOpen());
  EXPECT_EQ(device->GetInPipeCount(), 0u);
}

TEST_F(LibUsbDeviceOnBus, OpeningAgainClosesFirst) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  ASSERT_TRUE(enumerator.Enumerate());
  const LibUsbContext context = StartLibUsb();
  LibUsbDevice device(context);
  std::unique_ptr<KvUsbDevice> listed;
  ASSERT_EQ(enumerator.OpenDevice(0, listed), UsbOpenResult::Opened);
  listed->Close();

  // The path the enumerator handed out opens in another session too.
  const std::wstring path = FormatDevicePath(LibUsbDeviceLocation{1, {1}, 2, 0});
  ASSERT_TRUE(device.Open(path, false));
  EXPECT_EQ(device.OpenWithResult(path, true), UsbOpenResult::Opened);
  EXPECT_EQ(device.GetInPipeCount(), 1u);
  EXPECT_EQ(bus.DriverOf(key.id, 0), "usbfs");
  EXPECT_EQ(device.OpenWithResult(FormatDevicePath(LibUsbDeviceLocation{1, {9}, 2, 0}), false),
            UsbOpenResult::PathNotFound);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(bus.DriverOf(key.id, 0), "");
  EXPECT_EQ(device.OpenWithResult(L"no such path", false), UsbOpenResult::PathNotFound);
}

}  // namespace
}  // namespace nevrik::test
