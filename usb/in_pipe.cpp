#include "usb/in_pipe.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace nevrik {

InPipe::InPipe(std::uint8_t pipeId, bool shortPacketTerminate, std::uint16_t maxPacketSize)
    : pipeId(pipeId),
      shortPacketTerminate(shortPacketTerminate),
      maxPacketSize(maxPacketSize),
      staging(maxPacketSize, 0) {}

bool InPipe::ReadPackets(RawBulkReader& reader, std::uint8_t* data, std::uint32_t length,
                         std::uint32_t& received) const {
  received = 0;
  // A backend that reports more than it was asked for would make the copies below overrun.
  return reader.ReadRaw(pipeId, data, length, received) && received <= length;
}

bool InPipe::Read(RawBulkReader& reader, std::uint8_t* data, std::uint32_t length,
                  std::uint32_t* transferred) {
  if (data == nullptr || length == 0 || transferred == nullptr || maxPacketSize == 0) {
    return false;
  }
  const std::uint32_t packetSize = maxPacketSize;

  if (length <= static_cast<std::uint32_t>(available - position)) {
    std::memcpy(data, staging.data() + position, length);
    position += static_cast<std::uint16_t>(length);
    *transferred = length;
    // A used-up full packet may be followed by the zero-length packet that ends its transfer;
    // consume it now so it is not taken for the start of the next response.
    if (shortPacketTerminate && position == available && available == packetSize) {
      std::uint32_t received = 0;
      if (!ReadPackets(reader, staging.data(), packetSize, received)) {
        return false;
      }
      available = static_cast<std::uint16_t>(received);
      position = 0;
    }
    return true;
  }

  std::uint32_t copied = 0;
  if (available > position) {
    copied = available - position;
    std::memcpy(data, staging.data() + position, copied);
  }
  // Staged bytes of a short packet are the end of the device's transfer. Reading on would wait
  // for, or take the bytes of, the next transfer.
  const bool transferEnded = copied > 0 && available < packetSize;
  available = 0;
  position = 0;
  if (transferEnded) {
    *transferred = copied;
    return true;
  }

  const std::uint32_t wholePackets = (length - copied) / packetSize * packetSize;
  if (wholePackets > 0) {
    std::uint32_t received = 0;
    if (!ReadPackets(reader, data + copied, wholePackets, received)) {
      return false;
    }
    copied += received;
    if (received < wholePackets) {  // a short packet ended the transfer
      *transferred = copied;
      return true;
    }
  }

  if (copied < length || shortPacketTerminate) {
    std::uint32_t received = 0;
    if (!ReadPackets(reader, staging.data(), packetSize, received)) {
      return false;
    }
    available = static_cast<std::uint16_t>(received);
    if (received != 0 && copied < length) {
      const std::uint32_t taken = std::min(length - copied, received);
      std::memcpy(data + copied, staging.data(), taken);
      position = static_cast<std::uint16_t>(taken);
      copied += taken;
    }
  }

  *transferred = copied;
  return true;
}

void InPipe::DropStaged() {
  available = 0;
  position = 0;
}

const InPipe* FindInPipe(const std::vector<InPipe>& pipes, std::uint8_t pipeId) {
  const auto pipe = std::find_if(pipes.begin(), pipes.end(), [pipeId](const InPipe& candidate) {
    return candidate.pipeId == pipeId;
  });
  return pipe != pipes.end() ? &*pipe : nullptr;
}

InPipe* FindInPipe(std::vector<InPipe>& pipes, std::uint8_t pipeId) {
  return const_cast<InPipe*>(FindInPipe(std::as_const(pipes), pipeId));
}

}  // namespace nevrik
