#pragma once

#include <array>
#include <cstdint>

#include "app/firmware_pack.h"

namespace nevrik {

inline constexpr std::size_t ImageDigestSize = 32;

// The SHA-256 of the pack's image, header excluded: what a key reports of a complete write.
std::array<std::uint8_t, ImageDigestSize> ImageSha256(const FirmwarePack& pack);

}  // namespace nevrik
