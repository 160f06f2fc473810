#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/sim_key.h"
#include "usb/libusb_enumerator.h"
#include "usbbus/emulated_usb_bus.h"
#include "usbbus/stand_in_function.h"
#include "usbbus/usb_descriptor_writer.h"

namespace nevrik::test {

using usbbus::Bytes;
using usbbus::CommandOptions;
using usbbus::EmulatedUsbBus;
using usbbus::KeyPlan;
using usbbus::MsOs20SetWriter;
using usbbus::NevrikInterfaceGuid;
using usbbus::OtherVendorDevicePlan;
using usbbus::PlugOptions;
using usbbus::StandInEndpoint;
using usbbus::StandInFunction;
using usbbus::StandInInterface;
using usbbus::StandInPlan;
using usbbus::UnprivilegedUser;
using usbbus::UrbRecord;
using usbbus::Utf16;
using usbbus::WithoutMsOs20Plan;

// A test with its own emulated USB bus, seen by libusb in this process. The bus is made first
// and goes last, after every enumerator and device of the test.
class EmulatedBusTest : public ::testing::Test {
 protected:
  struct PluggedStandIn {
    std::shared_ptr<StandInFunction> function;
    EmulatedUsbBus::DeviceId id;
  };

  struct PluggedKey {
    std::shared_ptr<SimKey> key;
    EmulatedUsbBus::DeviceId id;
  };

  PluggedStandIn PlugStandIn(StandInPlan plan, const PlugOptions& options = {}) {
    auto function = std::make_shared<StandInFunction>(std::move(plan));
    const EmulatedUsbBus::DeviceId id = bus.Plug(function, options);
    return {function, id};
  }

  // A simulated NEVRIK key. The bus serves it on its own thread, but only while the test waits
  // for a transfer, so the test may look at the key between its calls.
  PluggedKey PlugKey(SimKeyUsbConfig usb = {}, const PlugOptions& options = {},
                     SimKeyFirmwareConfig firmware = {}) {
    auto key = std::make_shared<SimKey>(std::move(usb), std::move(firmware));
    const EmulatedUsbBus::DeviceId id = bus.Plug(key, options);
    return {key, id};
  }

  // The one key listed, opened as the application opens it. Its bulk pipes get a time-out of
  // a few seconds, which no working exchange comes near, so that a fault fails the test
  // instead of hanging it.
  std::unique_ptr<KvUsbDevice> OpenOnlyKey() {
    EXPECT_TRUE(enumerator.Enumerate());
    EXPECT_EQ(enumerator.GetCount(), 1u);
    std::unique_ptr<KvUsbDevice> device;
    EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
    if (device != nullptr) {
      for (unsigned i = 0; i < device->GetOutPipeCount(); ++i) {
        device->SetPipeTimeout(device->GetOutPipeId(i), HangGuard);
      }
      for (unsigned i = 0; i < device->GetInPipeCount(); ++i) {
        device->SetPipeTimeout(device->GetInPipeId(i), HangGuard);
      }
    }
    return device;
  }

  static constexpr std::uint32_t HangGuard = 5000;

  EmulatedUsbBus bus;
  LibUsbEnumerator enumerator{std::string(NevrikInterfaceGuid)};
};

inline Bytes Pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  return bytes;
}

}  // namespace nevrik::test
