#pragma once

#include <cstdint>
#include <span>

namespace nevrik {

// The embedded pack's bytes: generated at build time from the pack file, constant data of
// exactly the file's size. Nothing is read from disk at run time. Defined by a library that
// nevrik_firmware_pack_library (cmake/FirmwarePack.cmake) makes; the updater reads the bytes as a
// firmware pack, the emulated bus's runner compares a key's image with them.
std::span<const std::uint8_t> EmbeddedFirmwarePackData();

// Whether the embedded pack is the source repository's placeholder (or made from it): test data,
// not firmware, which no real key may receive.
bool EmbeddedFirmwarePackIsTestData();

}  // namespace nevrik
