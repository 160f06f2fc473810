#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace nevrik {

// Every request and response is an 8-byte header followed by `length` payload bytes:
//   0..3  magic "NVKW" (little-endian 0x574B564E)
//   4     sequence: low byte of the session's 32-bit sequence counter
//   5     request: command (bits 0-5) | SecureBit; response: device status (bits 0-5, bit 6
//         ignored) | SecureBit
//   6..7  payload length, little-endian
// The header always travels in clear; SecureBit says the payload is enciphered.
inline constexpr std::size_t FrameHeaderSize = 8;
inline constexpr std::uint32_t FrameMagic = 0x574B564E;
inline constexpr std::uint8_t SecureBit = 0x80;
inline constexpr std::uint8_t CommandMask = 0x3F;
inline constexpr std::uint8_t DeviceStatusMask = 0x3F;
inline constexpr std::size_t MaxPayloadLength = 65535;

enum Command : std::uint8_t {
  CmdQuery = 0x03,
  CmdHandshake = 0x04,
  CmdSetup = 0x20,
  CmdFinal = 0x21,  // the device sends no response
  CmdCancelUpdate = 0x22,
  CmdWrite = 0x23,
  CmdGetHash = 0x24,
  CmdDeploy = 0x25,
};

// The CmdQuery payload: one selector, 32-bit little-endian.
enum QuerySelector : std::uint32_t {
  SyncCheck = 3,        // answer: 32-bit value, 1 when the device is in step
  StatusSelector = 16,  // answer: the 108-byte device status record
};

struct FrameHeader {
  std::uint32_t magic = FrameMagic;
  std::uint8_t sequence = 0;
  std::uint8_t code = 0;  // command or device status, with SecureBit
  std::uint16_t length = 0;

  bool IsSecure() const { return (code & SecureBit) != 0; }
  std::uint8_t StatusNumber() const { return code & DeviceStatusMask; }
};

using FrameHeaderBytes = std::span<std::uint8_t, FrameHeaderSize>;
using ConstFrameHeaderBytes = std::span<const std::uint8_t, FrameHeaderSize>;

void EncodeFrameHeader(const FrameHeader& header, FrameHeaderBytes bytes);
FrameHeader DecodeFrameHeader(ConstFrameHeaderBytes bytes);

// Writes the header of a request. A command above 0x3F is truncated to its low 6 bits, never
// rejected; only the low byte of sequenceCounter travels. Keeping the payload within
// MaxPayloadLength is the caller's job.
void EncodeRequestHeader(FrameHeaderBytes bytes, std::uint32_t sequenceCounter,
                         std::uint8_t command, bool secure, std::uint16_t payloadLength);

// True exactly when the magic is right and the sequence byte equals the low byte of
// sequenceCounter. Status and length are not looked at.
bool CheckResponseHeader(ConstFrameHeaderBytes bytes, std::uint32_t sequenceCounter);

}  // namespace nevrik
