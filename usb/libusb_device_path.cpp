#include "usb/libusb_device_path.h"

#include <algorithm>
#include <array>
#include <tuple>

namespace nevrik {

namespace {

// USB allows seven tiers of hubs below the root; libusb reports at most that many ports.
constexpr std::size_t PortDepthLimit = 7;

// Reads the expected text at the cursor and moves past it.
bool Take(std::wstring_view& rest, std::wstring_view expected) {
  if (rest.substr(0, expected.size()) != expected) {
    return false;
  }
  rest.remove_prefix(expected.size());
  return true;
}

// Reads a decimal number from 0 to 255 at the cursor.
bool TakeByte(std::wstring_view& rest, std::uint8_t& value) {
  unsigned number = 0;
  std::size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= L'0' && rest[digits] <= L'9' && digits < 3) {
    number = number * 10 + static_cast<unsigned>(rest[digits] - L'0');
    ++digits;
  }
  if (digits == 0 || number > 255 ||
      (digits < rest.size() && rest[digits] >= L'0' && rest[digits] <= L'9')) {
    return false;
  }
  rest.remove_prefix(digits);
  value = static_cast<std::uint8_t>(number);
  return true;
}

}  // namespace

LibUsbDeviceLocation LocateDevice(libusb_device* device, std::uint8_t interfaceNumber) {
  std::array<std::uint8_t, PortDepthLimit> ports{};
  const int depth = libusb_get_port_numbers(device, ports.data(), static_cast<int>(ports.size()));
  LibUsbDeviceLocation location;
  location.bus = libusb_get_bus_number(device);
  location.ports.assign(ports.begin(), ports.begin() + std::max(depth, 0));
  location.address = libusb_get_device_address(device);
  location.interfaceNumber = interfaceNumber;
  return location;
}

bool IsAtLocation(libusb_device* device, const LibUsbDeviceLocation& location) {
  const LibUsbDeviceLocation here = LocateDevice(device, location.interfaceNumber);
  return here == location;
}

std::wstring FormatDevicePath(const LibUsbDeviceLocation& location) {
  std::wstring path = L"usb-bus" + std::to_wstring(location.bus) + L"-port";
  for (std::size_t i = 0; i < location.ports.size(); ++i) {
    path += (i == 0 ? L"" : L".") + std::to_wstring(location.ports[i]);
  }
  path += L"-addr" + std::to_wstring(location.address);
  path += L"-if" + std::to_wstring(location.interfaceNumber);
  return path;
}

std::string FormatPortPath(const LibUsbDeviceLocation& location) {
  std::string path = std::to_string(location.bus);
  for (std::size_t i = 0; i < location.ports.size(); ++i) {
    path += (i == 0 ? "-" : ".") + std::to_string(location.ports[i]);
  }
  return path;
}

std::optional<LibUsbDeviceLocation> ParseDevicePath(std::wstring_view path) {
  LibUsbDeviceLocation location;
  std::wstring_view rest = path;
  if (!Take(rest, L"usb-bus") || !TakeByte(rest, location.bus) || !Take(rest, L"-port")) {
    return std::nullopt;
  }
  std::uint8_t port = 0;
  if (TakeByte(rest, port)) {
    location.ports.push_back(port);
    while (Take(rest, L".")) {
      if (location.ports.size() == PortDepthLimit || !TakeByte(rest, port)) {
        return std::nullopt;
      }
      location.ports.push_back(port);
    }
  }
  if (!Take(rest, L"-addr") || !TakeByte(rest, location.address) || !Take(rest, L"-if") ||
      !TakeByte(rest, location.interfaceNumber) || !rest.empty()) {
    return std::nullopt;
  }
  return location;
}

bool ListedBefore(const LibUsbDeviceLocation& left, const LibUsbDeviceLocation& right) {
  return std::tie(left.bus, left.ports, left.interfaceNumber) <
         std::tie(right.bus, right.ports, right.interfaceNumber);
}

}  // namespace nevrik
