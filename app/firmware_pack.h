#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pack/embedded_pack_data.h"

namespace nevrik {

// The firmware version the embedded pack carries, fixed at build time from the same pack file's
// header (the updater does not read the header's version bytes at run time).
struct FirmwareVersion {
  unsigned versionMajor;
  unsigned versionMinor;
};
inline constexpr FirmwareVersion TargetVersion{NEVRIK_TARGET_VERSION_MAJOR,
                                               NEVRIK_TARGET_VERSION_MINOR};

// A firmware pack: a 24-byte little-endian header followed by the opaque image.
//   0  magic "NVRKFIRM"        10 versionMajor   12 deviceParameters (8 bytes)
//   8  headerLength (u16, 24)  11 versionMinor   20 imageSize (u32)
// The image is never parsed or altered, only copied to the device and hashed.
class FirmwarePack {
 public:
  static constexpr std::size_t HeaderLength = 24;
  static constexpr std::size_t SetupParametersOffset = 12;
  static constexpr std::size_t SetupParametersSize = 12;

  explicit FirmwarePack(std::span<const std::uint8_t> data) : data(data) {}

  // The 12 header bytes from offset 12 (deviceParameters, then imageSize) that open the setup
  // request. Only meaningful for a pack that passed ValidatePack.
  std::span<const std::uint8_t, SetupParametersSize> SetupParameters() const;

  std::uint32_t ImageSize() const;

  // The imageSize bytes behind the header; empty unless they lie within the pack.
  std::span<const std::uint8_t> Image() const;

  std::span<const std::uint8_t> Data() const { return data; }

 private:
  std::span<const std::uint8_t> data;
};

// The start-up check: magic, header length, and imageSize against the pack's size. The reason
// for a failure is logged at VERBOSE.
bool ValidatePack(const FirmwarePack& pack);

}  // namespace nevrik
