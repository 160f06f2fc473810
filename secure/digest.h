#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nevrik {

inline constexpr std::size_t Sha256Size = 32;
using Sha256Digest = std::array<std::uint8_t, Sha256Size>;

// The SHA-256 of data.
Sha256Digest Sha256(std::span<const std::uint8_t> data);

}  // namespace nevrik
