// LibUsbEnumerator against devices on the emulated USB bus: which devices are keys, in which
// order, what other devices are asked, and what opening reports.
#include "usb/libusb_enumerator.h"

#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/captured_file.h"
#include "tests/usb/emulated_bus_fixture.h"
#include "usb/libusb_device.h"

namespace nevrik::test {
namespace {

std::string Describe(const UsbSetupPacket& setup) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x %02x %04x %04x %04x", setup.requestType, setup.request,
                setup.value, setup.index, setup.length);
  return text;
}

std::vector<std::string> Describe(const std::vector<UsbSetupPacket>& requests) {
  std::vector<std::string> descriptions;
  for (const UsbSetupPacket& setup : requests) {
    descriptions.push_back(Describe(setup));
  }
  return descriptions;
}

// What identifying a candidate takes: the BOS descriptor's header, the whole BOS descriptor and,
// when it has the MS OS 2.0 capability, the descriptor set.
std::vector<std::string> IdentificationRequests(const StandInPlan& plan) {
  std::vector<std::string> requests{
      Describe(UsbSetupPacket{0x80, 0x06, 0x0F00, 0, 5}),
      Describe(
          UsbSetupPacket{0x80, 0x06, 0x0F00, 0, static_cast<std::uint16_t>(plan.bos->size())})};
  if (plan.msOs20Set) {
    requests.push_back(Describe(UsbSetupPacket{
        0xC0, plan.msOs20VendorCode, 0, 7, static_cast<std::uint16_t>(plan.msOs20Set->size())}));
  }
  return requests;
}

using LibUsbEnumeration = EmulatedBusTest;

TEST_F(LibUsbEnumeration, NoDeviceMeansNoKey) {
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_TRUE(enumerator.IsEmpty());
  EXPECT_EQ(enumerator.GetCount(), 0u);
  EXPECT_EQ(enumerator.GetInaccessibleCount(), 0u);
}

TEST_F(LibUsbEnumeration, OneKeyIsListedAndOpens) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_FALSE(enumerator.IsEmpty());
  ASSERT_EQ(enumerator.GetCount(), 1u);
  EXPECT_EQ(enumerator.GetInaccessibleCount(), 0u);

  std::unique_ptr<KvUsbDevice> device;
  ASSERT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->IsOpen());
  ASSERT_EQ(device->GetOutPipeCount(), 1u);
  ASSERT_EQ(device->GetInPipeCount(), 1u);
  EXPECT_EQ(device->GetOutPipeId(0), 0x01);
  EXPECT_EQ(device->GetInPipeId(0), 0x81);
  EXPECT_EQ(bus.DriverOf(key.id, 0), "usbfs");  // held while open
  device.reset();
  EXPECT_EQ(bus.DriverOf(key.id, 0), "");
}

TEST_F(LibUsbEnumeration, KeysAreListedInPortOrder) {
  const PluggedStandIn onPort4 = PlugStandIn(KeyPlan(), PlugOptions{.port = 4});
  const PluggedStandIn onPort2 = PlugStandIn(KeyPlan(), PlugOptions{.port = 2});
  const PluggedStandIn onBus2 = PlugStandIn(KeyPlan(), PlugOptions{.bus = 2, .port = 1});
  ASSERT_TRUE(enumerator.Enumerate());
  ASSERT_EQ(enumerator.GetCount(), 3u);

  const std::vector<EmulatedUsbBus::DeviceId> expected{onPort2.id, onPort4.id, onBus2.id};
  for (unsigned index = 0; index < 3; ++index) {
    std::unique_ptr<KvUsbDevice> device;
    ASSERT_EQ(enumerator.OpenDevice(index, device), UsbOpenResult::Opened);
    for (const EmulatedUsbBus::DeviceId id : expected) {
      EXPECT_EQ(bus.DriverOf(id, 0), id == expected[index] ? "usbfs" : "") << "index " << index;
    }
  }
}

TEST_F(LibUsbEnumeration, OtherDevicesAreAskedOnlyWhatIdentificationNeeds) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  const PluggedStandIn otherClass = PlugStandIn(OtherVendorDevicePlan());
  const PluggedStandIn withoutMsOs20 = PlugStandIn(WithoutMsOs20Plan());
  StandInPlan usb20Plan = KeyPlan();
  usb20Plan.usbVersion = 0x0200;
  const PluggedStandIn usb20 = PlugStandIn(usb20Plan);
  StandInPlan notVendorClassPlan = KeyPlan();
  notVendorClassPlan.interfaces[0].interfaceClass = 0x03;
  const PluggedStandIn notVendorClass = PlugStandIn(notVendorClassPlan);

  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 1u);
  EXPECT_EQ(enumerator.GetInaccessibleCount(), 0u);

  EXPECT_EQ(Describe(otherClass.function->ControlRequests()),
            IdentificationRequests(OtherVendorDevicePlan()));
  EXPECT_EQ(Describe(withoutMsOs20.function->ControlRequests()),
            IdentificationRequests(WithoutMsOs20Plan()));
  EXPECT_TRUE(usb20.function->ControlRequests().empty());
  EXPECT_TRUE(notVendorClass.function->ControlRequests().empty());
  EXPECT_EQ(Describe(key.function->ControlRequests()), IdentificationRequests(KeyPlan()));
  for (const PluggedStandIn& device : {key, otherClass, withoutMsOs20, usb20, notVendorClass}) {
    for (const UrbRecord& urb : bus.SubmittedUrbs(device.id)) {
      EXPECT_EQ(urb.type, USBDEVFS_URB_TYPE_CONTROL);
    }
    EXPECT_EQ(bus.DriverOf(device.id, 0), "");  // nothing claimed
  }
}

TEST_F(LibUsbEnumeration, MalformedDescriptorSetIsNoKey) {
  StandInPlan plan = KeyPlan();
  plan.msOs20Set->back() = 0x01;                         // the list's closing NUL
  (*plan.msOs20Set)[plan.msOs20Set->size() - 3] = 0x01;  // the GUID's terminator
  PlugStandIn(plan);
  EXPECT_FALSE(enumerator.Enumerate());
}

TEST_F(LibUsbEnumeration, KeyInAFunctionSubsetOpensThatInterface) {
  StandInPlan plan = KeyPlan(64, 1);
  plan.interfaces.insert(plan.interfaces.begin(), StandInInterface{0, 0x03, {}});
  const PluggedStandIn key = PlugStandIn(plan);
  const std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(bus.DriverOf(key.id, 1), "usbfs");
  EXPECT_EQ(bus.DriverOf(key.id, 0), "");
}

// Root may open any node, so the check runs in a child process as an unprivileged user.
TEST_F(LibUsbEnumeration, KeyWithUnreadableNodeIsCountedAsNotInspectable) {
  PlugStandIn(KeyPlan());
  PlugStandIn(KeyPlan(), PlugOptions{.nodeMode = 0});
  bus.OpenToOtherUsers();
  const CapturedFile out;
  const CapturedFile err;
  const int exitCode =
      bus.RunCommand({NEVRIK_LIST_KEYS_PATH},
                     CommandOptions{UnprivilegedUser(), fileno(out.File()), fileno(err.File())});
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(out.Text(), "key 0: open result 0\nkeys 1\ninaccessible 1\n");
  EXPECT_EQ(err.Text(), "");
}

TEST_F(LibUsbEnumeration, KeyUnpluggedBeforeOpeningIsNotFound) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  ASSERT_TRUE(enumerator.Enumerate());
  bus.Unplug(key.id);
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::PathNotFound);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(enumerator.OpenDeviceOrNull(0), nullptr);
  EXPECT_EQ(enumerator.GetCount(), 1u);  // the list follows nothing until enumerated again
  EXPECT_FALSE(enumerator.Enumerate());
}

TEST_F(LibUsbEnumeration, KeyReplacedOnItsPortIsNotFound) {
  const PluggedStandIn first = PlugStandIn(KeyPlan(), PlugOptions{.port = 3});
  ASSERT_TRUE(enumerator.Enumerate());
  bus.Unplug(first.id);
  const PluggedStandIn second = PlugStandIn(KeyPlan(), PlugOptions{.port = 3});
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::PathNotFound);
  EXPECT_EQ(bus.DriverOf(second.id, 0), "");

  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
  EXPECT_EQ(bus.DriverOf(second.id, 0), "usbfs");
}

TEST_F(LibUsbEnumeration, InterfaceHeldByAnotherProgramIsAccessDenied) {
  const PluggedStandIn key = PlugStandIn(KeyPlan());
  bus.SetClaimedElsewhere(key.id, 0, true);
  ASSERT_TRUE(enumerator.Enumerate());
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::AccessDenied);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(bus.DriverOf(key.id, 0), "usbfs");  // still the other program's

  bus.SetClaimedElsewhere(key.id, 0, false);
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
}

TEST_F(LibUsbEnumeration, KernelDriverIsDetachedOnlyWhileHeld) {
  const PluggedStandIn key =
      PlugStandIn(KeyPlan(), PlugOptions{.kernelDrivers = {{0, "nevrik-test-driver"}}});
  std::unique_ptr<KvUsbDevice> device = OpenOnlyKey();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(bus.DriverOf(key.id, 0), "usbfs");
  device->Close();
  EXPECT_EQ(bus.DriverOf(key.id, 0), "nevrik-test-driver");

  std::unique_ptr<KvUsbDevice> again;
  ASSERT_EQ(enumerator.OpenDevice(0, again), UsbOpenResult::Opened);
  EXPECT_EQ(bus.DriverOf(key.id, 0), "usbfs");
  again.reset();  // deleting an open device closes it
  EXPECT_EQ(bus.DriverOf(key.id, 0), "nevrik-test-driver");
}

TEST_F(LibUsbEnumeration, OpenedDeviceOutlivesTheEnumerator) {
  PlugStandIn(KeyPlan());
  std::unique_ptr<KvUsbDevice> device;
  {
    LibUsbEnumerator shortLived{std::string(NevrikInterfaceGuid)};
    ASSERT_TRUE(shortLived.Enumerate());
    ASSERT_EQ(shortLived.OpenDevice(0, device), UsbOpenResult::Opened);
  }
  ASSERT_TRUE(device->EnableShortPacketTerminate(0x01));
  const Bytes sent = Pattern(20, 3);
  ASSERT_TRUE(device->Write(0, sent.data(), static_cast<std::uint32_t>(sent.size())));
  Bytes received(20);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device->Read(0, received.data(), 20, &transferred));
  EXPECT_EQ(transferred, 20u);
  EXPECT_EQ(received, sent);
}

TEST_F(LibUsbEnumeration, EveryEnumerationReplacesTheList) {
  const PluggedStandIn first = PlugStandIn(KeyPlan());
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 1u);
  const PluggedStandIn second = PlugStandIn(KeyPlan());
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 2u);
  bus.Unplug(first.id);
  bus.Unplug(second.id);
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 0u);
}

TEST_F(LibUsbEnumeration, IndexAtTheCountOpensNothing) {
  PlugStandIn(KeyPlan());
  ASSERT_TRUE(enumerator.Enumerate());
  std::unique_ptr<KvUsbDevice> device = std::make_unique<LibUsbDevice>(nullptr);
  EXPECT_EQ(enumerator.OpenDevice(1, device), UsbOpenResult::OpenFailed);
  EXPECT_EQ(device, nullptr);
  EXPECT_THROW(enumerator.OpenDeviceOrNull(1), std::out_of_range);
}

}  // namespace
}  // namespace nevrik::test
