// On a machine without a USB bus (like the one continuous integration runs on), libusb finds no
// devices: enumeration finds no key, counts nothing as inaccessible and prints nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/run_program.h"
#include "usb/libusb_enumerator.h"
#include "usbbus/usb_descriptor_writer.h"

namespace nevrik {
namespace {

bool HasUsbBus() {
  std::error_code error;
  const std::filesystem::path devices = "/sys/bus/usb/devices";
  return std::filesystem::exists(devices, error) && !std::filesystem::is_empty(devices, error);
}

TEST(LibUsbWithoutBus, FindsNoKeyAndPrintsNothing) {
  if (HasUsbBus()) {
    GTEST_SKIP() << "this machine has a USB bus";
  }
  LibUsbEnumerator enumerator{std::string(usbbus::NevrikInterfaceGuid)};
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 0u);
  EXPECT_EQ(enumerator.GetInaccessibleCount(), 0u);
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::OpenFailed);

  const test::ProgramResult result = test::RunProgram(NEVRIK_LIST_KEYS_PATH, {});
  EXPECT_EQ(result.out, "keys 0\ninaccessible 0\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 0);
}

}  // namespace
}  // namespace nevrik
