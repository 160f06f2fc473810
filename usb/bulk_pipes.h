#pragma once

#include <cstdint>
#include <vector>

#include "usb/in_pipe.h"

namespace nevrik {

// A bulk OUT pipe where the host itself ends a transfer that fills its last packet with a
// zero-length packet when shortPacketTerminate is set (WinUSB keeps that as a pipe policy).
struct OutPipe {
  std::uint8_t pipeId = 0;
  std::uint16_t maxPacketSize = 0;
  bool shortPacketTerminate = false;
};

// The bulk pipes a backend discovered, each direction in descriptor order, and the lookups by
// pipe id that every KvUsbDevice needs.
struct BulkPipes {
  std::vector<InPipe> inPipes;
  std::vector<OutPipe> outPipes;

  void Clear();
  InPipe* FindIn(std::uint8_t pipeId);
  const InPipe* FindIn(std::uint8_t pipeId) const;
  bool Contains(std::uint8_t pipeId) const;
  // Sets the pipe's flag; false when no pipe has this id.
  bool EnableShortPacketTerminate(std::uint8_t pipeId);
  // Drops the bytes staged for an IN pipe; false when no pipe has this id.
  bool DropStaged(std::uint8_t pipeId);
};

}  // namespace nevrik
