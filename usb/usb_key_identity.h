#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace nevrik {

// The identity that the simulated key announces: the test vendor ID of pid.codes and its product
// ID reserved for testing, which no real product may use. A build carrying test data updates
// only keys announcing it.
inline constexpr std::uint16_t TestKeyVendorId = 0x1209;
inline constexpr std::uint16_t TestKeyProductId = 0x0001;

// Who a listed key is and where it is plugged in, as listing it found out: nothing beyond what
// the operating system and the key's USB descriptors tell.
struct UsbKeyIdentity {
  // The path people know the key by: a device node, or the device interface path on Windows.
  std::wstring path;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  // The serial number string as UTF-8 (always valid; it may hold control characters, which the
  // key chose); nothing when the key has none or it could not be read.
  std::optional<std::string> serialNumber;
  // A name for the port the key is plugged into that stays the same when it is plugged in there
  // again, such as "1-4.2"; empty when the platform names none.
  std::string location;

  bool IsTestKey() const { return vendorId == TestKeyVendorId && productId == TestKeyProductId; }
};

}  // namespace nevrik
