#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

// Faults a simulated key shows on demand. They are plain switches on one key object; a healthy
// key has none. Tests set them to drive a host down each of its failure paths.
namespace nevrik {

// Picks the requests a fault hits: those of one command, the one with a given request number
// (1-based count of transfers that reached the key's firmware since the key was made), or both.
// `times` limits how many requests it hits; 0 hits every match.
struct FaultTrigger {
  std::optional<std::uint8_t> command;
  std::optional<unsigned> requestNumber;
  unsigned times = 0;
  unsigned hits = 0;

  static FaultTrigger OnCommand(std::uint8_t command, unsigned times = 0) {
    return FaultTrigger{command, std::nullopt, times, 0};
  }
  static FaultTrigger OnRequest(unsigned requestNumber) {
    return FaultTrigger{std::nullopt, requestNumber, 1, 0};
  }

  // True when the request matches and the fault has hits left; counts the hit.
  bool Fire(unsigned number, std::uint8_t code) {
    if ((command && *command != code) || (requestNumber && *requestNumber != number) ||
        (times != 0 && hits >= times)) {
      return false;
    }
    ++hits;
    return true;
  }
};

enum class ResponseFaultKind {
  // The key refuses the request with `status` (0-63, or with bit 6 set, which hosts ignore),
  // SecureBit as `secureBit`, and `payload`
  // (empty by default, never enciphered). The request has no effect.
  DeviceStatus,
  // The answer carries `size` payload bytes (cut short, or padded with zeros) before it is
  // enciphered: a handshake answer of 96 or 98 bytes, a hash of 0, 31 or 33 bytes, a cancel
  // answered with data.
  PayloadSize,
  // Bit 0 of the first payload byte is flipped before enciphering: a wrong hash.
  CorruptPayload,
  // The answer's magic reads "NVKX".
  WrongMagic,
  // The answer carries the sequence byte one behind the request's.
  WrongSequence,
  // The answer ends after 6 header bytes.
  HeaderOnly,
  // The header announces one payload byte more than follows.
  ShortPayload,
  // No answer at all: the host's next read finds nothing to receive.
  NoResponse,
};

struct ResponseFault {
  FaultTrigger when;
  ResponseFaultKind kind = ResponseFaultKind::DeviceStatus;
  std::uint8_t status = 0;
  bool secureBit = false;
  std::vector<std::uint8_t> payload;
  std::size_t size = 0;

  static ResponseFault Status(FaultTrigger when, std::uint8_t status, bool secureBit = false,
                              std::vector<std::uint8_t> payload = {}) {
    return ResponseFault{
        when, ResponseFaultKind::DeviceStatus, status, secureBit, std::move(payload), 0};
  }
  static ResponseFault PayloadSize(FaultTrigger when, std::size_t size) {
    return ResponseFault{when, ResponseFaultKind::PayloadSize, 0, false, {}, size};
  }
  static ResponseFault Of(FaultTrigger when, ResponseFaultKind kind) {
    return ResponseFault{when, kind, 0, false, {}, 0};
  }
};

enum class InvalidKeyKind {
  NotOnCurve,            // Y with its lowest bit flipped
  CoordinateAbovePrime,  // a curve point sent as (X + p, Y)
};

struct SimKeyFirmwareFaults {
  // Every matching fault applies, in this order; a DeviceStatus fault ends the request.
  std::vector<ResponseFault> responses;
  // The SyncCheck answer.
  std::uint32_t checkValue = 1;
  // The status query (selector 16) is answered with Busy; other queries are not.
  bool statusBusy = false;
  // The next this many handshakes answer an invalid public key and establish nothing.
  unsigned invalidKeyHandshakes = 0;
  InvalidKeyKind invalidKeyKind = InvalidKeyKind::NotOnCurve;
};

// Halts the key's bulk IN endpoint when the host asks for packet `packetIndex` (0-based) of the
// answer to a request `when` picks: 0 fails the host's header read, a later packet its payload
// read. The rest of that answer is dropped when the halt is cleared.
struct InStallFault {
  FaultTrigger when;
  unsigned packetIndex = 0;
};

struct SimKeyUsbFaults {
  // OUT transfers (1-based count of every transfer the host begins on the key's bulk OUT
  // endpoint) whose first packet halts that endpoint.
  std::set<unsigned> stallOutTransfers;
  std::vector<InStallFault> stallIn;
  // The class request 0x21/0xFF is refused with a stall and changes nothing.
  bool stallClassRequest = false;
  // Endpoints that the class request leaves running.
  std::set<std::uint8_t> neverHalt;
  // After the class request each endpoint answers this many GET_STATUS polls "not halted"
  // before its halt shows.
  unsigned haltAfterPolls = 0;
  // Endpoints whose CLEAR_FEATURE(ENDPOINT_HALT) is refused with a stall.
  std::set<std::uint8_t> refuseClearHalt;
  // Endpoints whose CLEAR_FEATURE(ENDPOINT_HALT) is accepted but the halt stays.
  std::set<std::uint8_t> haltSticks;
};

}  // namespace nevrik
