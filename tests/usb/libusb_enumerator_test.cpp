// LibUsbEnumerator against devices on the emulated USB bus: which devices are keys, in which
// order, what other devices are asked, and what opening reports.
#include "usb/libusb_enumerator.h"

#include <gtest/gtest.h>
#include <linux/usbdevice_fs.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/captured_file.h"
#include "tests/support/program_under_test.h"
#include "tests/usb/emulated_bus_fixture.h"
#include "usb/libusb_device.h"

namespace nevrik::test {
namespace {

const std::string ListKeys = ProgramUnderTest(NEVRIK_LIST_KEYS_PATH);

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
std::vector<std::string> IdentificationRequests(std::size_t bosLength,
                                                std::optional<std::size_t> setLength = {},
                                                std::uint8_t vendorCode = 0x20) {
  std::vector<std::string> requests{
      Describe(UsbSetupPacket{0x80, 0x06, 0x0F00, 0, 5}),
      Describe(UsbSetupPacket{0x80, 0x06, 0x0F00, 0, static_cast<std::uint16_t>(bosLength)})};
  if (setLength) {
    requests.push_back(
        Describe(UsbSetupPacket{0xC0, vendorCode, 0, 7, static_cast<std::uint16_t>(*setLength)}));
  }
  return requests;
}

std::vector<std::string> IdentificationRequests(const StandInPlan& plan) {
  return plan.msOs20Set ? IdentificationRequests(plan.bos->size(), plan.msOs20Set->size(),
                                                 plan.msOs20VendorCode)
                        : IdentificationRequests(plan.bos->size());
}

std::vector<std::string> RequestsReceived(const SimKey& key) {
  std::vector<std::string> requests;
  for (const KeyControlRecord& record : key.ControlRequests()) {
    requests.push_back(Describe(record.setup));
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
  const PluggedKey key = PlugKey();
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
  const PluggedKey onPort4 = PlugKey({}, PlugOptions{.port = 4});
  const PluggedKey onPort2 = PlugKey({}, PlugOptions{.port = 2});
  const PluggedKey onBus2 = PlugKey({}, PlugOptions{.bus = 2, .port = 1});
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
  const PluggedKey key = PlugKey();
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
  // A key is asked for its serial number too: the language list, then the string.
  std::vector<std::string> keyRequests = IdentificationRequests(
      key.key->BosDescriptor().size(), key.key->MsOs20DescriptorSet().size());
  keyRequests.push_back(Describe(UsbSetupPacket{0x80, 0x06, 0x0300, 0, 255}));
  keyRequests.push_back(Describe(UsbSetupPacket{0x80, 0x06, 0x0303, 0x0409, 255}));
  EXPECT_EQ(RequestsReceived(*key.key), keyRequests);
  for (const EmulatedUsbBus::DeviceId device :
       {key.id, otherClass.id, withoutMsOs20.id, usb20.id, notVendorClass.id}) {
    for (const UrbRecord& urb : bus.SubmittedUrbs(device)) {
      EXPECT_EQ(urb.type, USBDEVFS_URB_TYPE_CONTROL);
    }
    EXPECT_EQ(bus.DriverOf(device, 0), "");  // nothing claimed
  }
}

TEST_F(LibUsbEnumeration, KeyWithMalformedDescriptorSetIsNoKey) {
  SimKeyUsbConfig usb;
  std::vector<std::uint8_t> set = BuildMsOs20DescriptorSet(usb);
  set.back() = 0x01;           // the list's closing NUL
  set[set.size() - 3] = 0x01;  // the GUID's terminator
  usb.msOs20.rawSet = set;
  PlugKey(usb);
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetInaccessibleCount(), 0u);
}

TEST_F(LibUsbEnumeration, KeysAnnouncingTheClassInOtherFormsAreListed) {
  SimKeyUsbConfig inFunction;
  inFunction.msOs20.placement = SimMsOs20Config::Placement::Function;
  PlugKey(inFunction);
  SimKeyUsbConfig lowercase;
  lowercase.msOs20.interfaceGuids = {"{5e3b2a71-6c4d-4f80-9a1b-2c3d4e5f6071}",
                                     "{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}"};
  PlugKey(lowercase);
  SimKeyUsbConfig single;
  single.msOs20.singleGuidProperty = true;
  PlugKey(single);
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 3u);
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
  PlugKey();
  PlugKey({}, PlugOptions{.nodeMode = 0});
  bus.OpenToUser(UnprivilegedUser());
  const CapturedFile out;
  const CapturedFile err;
  const int exitCode = bus.RunCommand(
      {ListKeys}, CommandOptions{UnprivilegedUser(), fileno(out.File()), fileno(err.File())});
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(out.Text(), "key 0: open result 0\nkeys 1\ninaccessible 1\n");
  EXPECT_EQ(err.Text(), "");
}

TEST_F(LibUsbEnumeration, KeyUnpluggedBeforeOpeningIsNotFound) {
  const PluggedKey key = PlugKey();
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
  const PluggedKey first = PlugKey({}, PlugOptions{.port = 3});
  ASSERT_TRUE(enumerator.Enumerate());
  bus.Unplug(first.id);
  const PluggedKey second = PlugKey({}, PlugOptions{.port = 3});
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::PathNotFound);
  EXPECT_EQ(bus.DriverOf(second.id, 0), "");

  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
  EXPECT_EQ(bus.DriverOf(second.id, 0), "usbfs");
}

TEST_F(LibUsbEnumeration, InterfaceHeldByAnotherProgramIsAccessDenied) {
  const PluggedKey key = PlugKey();
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
  const PluggedKey key = PlugKey({}, PlugOptions{.kernelDrivers = {{0, "nevrik-test-driver"}}});
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
  const PluggedKey first = PlugKey();
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 1u);
  const PluggedKey second = PlugKey();
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 2u);
  bus.Unplug(first.id);
  bus.Unplug(second.id);
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 0u);
}

TEST_F(LibUsbEnumeration, IndexAtTheCountOpensNothing) {
  PlugKey();
  ASSERT_TRUE(enumerator.Enumerate());
  std::unique_ptr<KvUsbDevice> device = std::make_unique<LibUsbDevice>(nullptr);
  EXPECT_EQ(enumerator.OpenDevice(1, device), UsbOpenResult::OpenFailed);
  EXPECT_EQ(device, nullptr);
  EXPECT_THROW(enumerator.OpenDeviceOrNull(1), std::out_of_range);
}

}  // namespace
}  // namespace nevrik::test
