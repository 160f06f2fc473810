#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nevrik {

// The device's 108-byte status record, answered to the status query. The session copies it
// whole; the updater reads three of its bytes and carries the rest uninterpreted.
struct DeviceStatus {
  static constexpr std::size_t Size = 108;
  static constexpr std::uint8_t SoPinSet = 0x01;     // an SO PIN is set on the device
  static constexpr std::uint8_t SoPinLocked = 0x08;  // the SO PIN is locked

  std::uint8_t Flags() const { return bytes[1]; }
  std::uint8_t FirmwareMajor() const { return bytes[102]; }
  std::uint8_t FirmwareMinor() const { return bytes[103]; }

  std::array<std::uint8_t, Size> bytes{};
};

}  // namespace nevrik
