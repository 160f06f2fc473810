#pragma once

#include <cstdint>
#include <vector>

namespace nevrik {

// The platform's raw bulk read, the one primitive a backend supplies to InPipe.
class RawBulkReader {
 public:
  // One synchronous bulk read on pipeId of at most length bytes into data. It completes when the
  // requested length has arrived or a short or zero-length packet ends the device's transfer,
  // whichever comes first, and sets received. False when the transfer failed.
  virtual bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
                       std::uint32_t& received) = 0;

 protected:
  ~RawBulkReader() = default;
};

// One bulk IN pipe with its staging buffer of one packet, shared by every KvUsbDevice backend.
//
// A device sends whole packets, but the protocol takes a response in pieces (an 8-byte header,
// then the payload). Read hands out what an earlier read staged, reads all whole packets that
// fit the request straight into the caller's buffer, and stages only the final partial packet.
// With shortPacketTerminate it also consumes the zero-length packet that ends a transfer filling
// its last packet, so that packet is never mistaken for the next response.
//
// Invariant: position <= available <= maxPacketSize; staging[position, available) is received
// data not yet handed out.
struct InPipe {
  // Backends skip a bulk IN endpoint that reports maxPacketSize 0 when they discover pipes: such
  // a pipe could not stage a packet. Read refuses one as well, as a second line of defence.
  InPipe(std::uint8_t pipeId, bool shortPacketTerminate, std::uint16_t maxPacketSize);

  // Reads up to length bytes into data through reader; at most two raw reads. Fewer bytes come
  // back only when a short packet ended the device's transfer, also when that packet was staged
  // by an earlier Read. Null data, length 0 or null transferred give false without a raw read and
  // leave *transferred as it was.
  bool Read(RawBulkReader& reader, std::uint8_t* data, std::uint32_t length,
            std::uint32_t* transferred);

  // Forgets the staged bytes (what AbortPipe does to an IN pipe): the next Read starts with a
  // raw read.
  void DropStaged();

  std::uint8_t pipeId;
  bool shortPacketTerminate;
  std::uint16_t maxPacketSize;
  std::uint16_t available = 0;
  std::uint16_t position = 0;
  std::vector<std::uint8_t> staging;

 private:
  bool ReadPackets(RawBulkReader& reader, std::uint8_t* data, std::uint32_t length,
                   std::uint32_t& received) const;
};

// The pipe with this id in a backend's list of IN pipes, or null.
InPipe* FindInPipe(std::vector<InPipe>& pipes, std::uint8_t pipeId);
const InPipe* FindInPipe(const std::vector<InPipe>& pipes, std::uint8_t pipeId);

}  // namespace nevrik
