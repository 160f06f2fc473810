#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The frame format as a NEVRIK key sees it, written from the key's side and kept apart from the
// host's protocol code, so that the simulated key cannot share a fault with the host.
//
// A frame is an 8-byte header and `length` payload bytes:
//   0  magic "NVKW"       5  bits 0-5: command (request) or device status (response);
//   4  sequence byte         bit 6: ignored; bit 7: SecureBit, the payload is enciphered
//                         6  length, unsigned 16-bit little-endian
// A key answers every request, except CmdFinal, with one frame carrying the request's sequence
// byte.
namespace nevrik::simkey {

inline constexpr std::size_t HeaderSize = 8;
inline constexpr std::uint8_t Magic[4] = {'N', 'V', 'K', 'W'};
inline constexpr std::uint8_t SecureBit = 0x80;
inline constexpr std::uint8_t CodeMask = 0x3F;

// Commands a key understands.
inline constexpr std::uint8_t CmdQuery = 0x03;
inline constexpr std::uint8_t CmdHandshake = 0x04;
inline constexpr std::uint8_t CmdSetup = 0x20;
inline constexpr std::uint8_t CmdFinal = 0x21;
inline constexpr std::uint8_t CmdCancelUpdate = 0x22;
inline constexpr std::uint8_t CmdWrite = 0x23;
inline constexpr std::uint8_t CmdGetHash = 0x24;
inline constexpr std::uint8_t CmdDeploy = 0x25;

// CmdQuery selectors.
inline constexpr std::uint32_t SelectorSyncCheck = 3;
inline constexpr std::uint32_t SelectorStatus = 16;

// The key's status numbers (bits 0-5 of a response's byte 5). The host maps them to its own
// result codes; these are the numbers on the wire.
enum class KeyStatus : std::uint8_t {
  Success = 0,
  InvalidCommand = 1,
  TooLargeData = 2,
  Busy = 3,
  HostError = 4,
  NoEstablishedKey = 5,
  BadParameter = 6,
  InternalError = 7,
  OperationDenied = 8,
  InvalidKey = 9,
  SecureTransactionProhibited = 10,
  NonsecureTransactionProhibited = 11,
  IncorrectPin = 15,
  PinLocked = 23,
};

// Sizes fixed by the protocol.
inline constexpr std::size_t HandshakeRequestSize = 73;
inline constexpr std::size_t HandshakeResponseSize = 97;
inline constexpr std::size_t StatusRecordSize = 108;
inline constexpr std::size_t SetupParametersSize = 12;
inline constexpr std::size_t SoPinLengthLimit = 256;

struct KeyFrameHeader {
  std::uint8_t sequence = 0;
  std::uint8_t code = 0;  // bits 0-5 of byte 5
  bool secure = false;
  std::uint16_t length = 0;
};

// The header of a transfer that starts with the magic and holds at least 8 bytes; nothing
// otherwise. Bit 6 of byte 5 is dropped.
std::optional<KeyFrameHeader> ParseKeyFrameHeader(std::span<const std::uint8_t> transfer);

// A whole frame: the header for `status` (bits 0-6; hosts ignore bit 6) and SecureBit when
// secure, then the payload, which must be at most 65535 bytes.
std::vector<std::uint8_t> BuildKeyFrame(std::uint8_t sequence, std::uint8_t status, bool secure,
                                        std::span<const std::uint8_t> payload);

}  // namespace nevrik::simkey
