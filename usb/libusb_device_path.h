#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nevrik {

// Where a key's interface sits on the USB: the bus, the port path from the root hub, the address
// the device was given when it was plugged in (a device plugged in again, or another device on
// the same port, gets a new one) and the interface number.
struct LibUsbDeviceLocation {
  std::uint8_t bus = 0;
  std::vector<std::uint8_t> ports;
  std::uint8_t address = 0;
  std::uint8_t interfaceNumber = 0;

  friend bool operator==(const LibUsbDeviceLocation&, const LibUsbDeviceLocation&) = default;
};

// Where a device libusb lists sits, for one of its interfaces.
LibUsbDeviceLocation LocateDevice(libusb_device* device, std::uint8_t interfaceNumber);

// Whether a listed device is the one plugged in at location (the interface aside).
bool IsAtLocation(libusb_device* device, const LibUsbDeviceLocation& location);

// The device path handed to the layers above, opaque to them: "usb-bus1-port2.1-addr5-if0".
std::wstring FormatDevicePath(const LibUsbDeviceLocation& location);

// The path the operating system gives the device: its node "/dev/bus/usb/001/005" on Linux,
// where access is granted; elsewhere "bus 1 address 5". One definition per platform
// (libusb_os_path_linux.cpp, libusb_os_path_other.cpp).
std::wstring OsDevicePath(libusb_device* device);

// The port a device is plugged into as the Linux kernel names it: the bus, a dash, and the port
// path from the root hub joined by dots ("1-4.2"); just the bus ("1") for a root hub.
std::string FormatPortPath(const LibUsbDeviceLocation& location);

// The location a device path names; nothing for a string that is no such path.
std::optional<LibUsbDeviceLocation> ParseDevicePath(std::wstring_view path);

// Orders locations by bus, then port path, then interface: the order keys are listed in.
bool ListedBefore(const LibUsbDeviceLocation& left, const LibUsbDeviceLocation& right);

}  // namespace nevrik
