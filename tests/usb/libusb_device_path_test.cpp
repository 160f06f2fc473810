#include "usb/libusb_device_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace nevrik {
namespace {

TEST(LibUsbDevicePath, NamesBusPortsAddressAndInterface) {
  EXPECT_EQ(FormatDevicePath(LibUsbDeviceLocation{1, {2, 1}, 5, 0}), L"usb-bus1-port2.1-addr5-if0");
  EXPECT_EQ(FormatDevicePath(LibUsbDeviceLocation{255, {7}, 127, 3}),
            L"usb-bus255-port7-addr127-if3");
  EXPECT_EQ(FormatDevicePath(LibUsbDeviceLocation{3, {}, 1, 0}), L"usb-bus3-port-addr1-if0");
}

TEST(LibUsbDevicePath, ReadsBackWhatItWrote) {
  for (const LibUsbDeviceLocation& location :
       {LibUsbDeviceLocation{1, {2, 1}, 5, 0},
        LibUsbDeviceLocation{255, {1, 2, 3, 4, 5, 6, 7}, 127, 255},
        LibUsbDeviceLocation{0, {}, 0, 0}}) {
    EXPECT_EQ(ParseDevicePath(FormatDevicePath(location)), location);
  }
}

class ForeignDevicePaths : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(ForeignDevicePaths, NameNoDevice) {
  EXPECT_EQ(ParseDevicePath(GetParam()), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ForeignDevicePaths,
    ::testing::Values(L"", L"usb-bus1-port2-addr5-if", L"usb-bus1-port2-addr5-if0 ",
                      L"usb-bus1-port2.-addr5-if0", L"usb-bus1-port.2-addr5-if0",
                      L"usb-bus256-port2-addr5-if0", L"usb-bus1-port2-addr0005-if0",
                      L"usb-bus-port2-addr5-if0", L"usb-bus1-port1.2.3.4.5.6.7.8-addr5-if0",
                      L"usb-bus1-port2-addr+5-if0", L"USB-BUS1-PORT2-ADDR5-IF0",
                      L"\\\\?\\usb#vid_1209&pid_0001#0001#{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}"));

TEST(LibUsbDevicePath, KeysAreOrderedByBusThenPortPath) {
  std::vector<LibUsbDeviceLocation> locations{
      {2, {1}, 9, 0}, {1, {3}, 2, 0}, {1, {2, 4}, 8, 0}, {1, {2}, 7, 1}, {1, {2}, 6, 0}};
  std::sort(locations.begin(), locations.end(), ListedBefore);
  const std::vector<LibUsbDeviceLocation> expected{
      {1, {2}, 6, 0}, {1, {2}, 7, 1}, {1, {2, 4}, 8, 0}, {1, {3}, 2, 0}, {2, {1}, 9, 0}};
  EXPECT_EQ(locations, expected);
}

}  // namespace
}  // namespace nevrik
