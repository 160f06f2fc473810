#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/usb_function.h"

// What reached a simulated key, so tests assert what a host sent, not only what came back.
namespace nevrik {

// One transfer delivered to the key's firmware, decoded.
struct KeyRequestRecord {
  unsigned number = 0;                 // 1-based, in arrival order
  std::vector<std::uint8_t> transfer;  // as received (secure payloads enciphered)
  // The transfer is one whole frame: magic "NVKW" and exactly 8 + length bytes. When the magic
  // is wrong or the transfer is shorter than a header, the fields below stay zero.
  bool framed = false;
  std::uint8_t sequence = 0;
  std::uint8_t command = 0;  // bits 0-5 of byte 5
  bool secure = false;
  std::uint16_t length = 0;  // as the header says
  // The bytes behind the header; deciphered when the request was secure and the key held keys.
  std::vector<std::uint8_t> payload;
  bool deciphered = false;
  // The device status of the answer (bits 0-5); nothing when the key did not answer.
  std::optional<std::uint8_t> status;
};

// One control request on the key's default pipe.
struct KeyControlRecord {
  UsbSetupPacket setup{};
  std::vector<std::uint8_t> data;  // the data stage, either direction
  bool stalled = false;
};

}  // namespace nevrik
