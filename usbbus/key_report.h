#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sim/sim_key.h"

namespace nevrik::usbbus {

// What a simulated key tells of a run, read from its own state alone (its firmware version, the
// update it received, its record of requests, its USB counters), never from the host's code:
//
//   firmware       1.5 -> 2.0
//   image          113736 of 113736 bytes received, installed
//   image SHA-256  <the SHA-256 of the bytes the key received, in hex>
//   pack SHA-256   <the SHA-256 of the pack's image> (match)
//   requests       23: Query 2, Handshake 1, Setup 1, Write 14, GetHash 1, Deploy 1, Final 1
//   USB            9 control requests; bulk OUT 23 transfers, 1823 packets; bulk IN 42 packets
//   update took    0.42 s
//
// Each line is indented by two blanks. The last line is the one that varies between runs: the
// time from the key's first handshake to its last request ("no update began" without a
// handshake). firmwareBefore is the version the key was plugged in with; pack is a whole firmware
// pack (its 24-byte header and image).
std::string KeyReport(const SimKey& key, std::uint8_t firmwareMajorBefore,
                      std::uint8_t firmwareMinorBefore, std::span<const std::uint8_t> pack,
                      std::optional<std::chrono::steady_clock::duration> took);

}  // namespace nevrik::usbbus
