#include "protocol/frame.h"

namespace nevrik {

void EncodeFrameHeader(const FrameHeader& header, FrameHeaderBytes bytes) {
  bytes[0] = static_cast<std::uint8_t>(header.magic);
  bytes[1] = static_cast<std::uint8_t>(header.magic >> 8);
  bytes[2] = static_cast<std::uint8_t>(header.magic >> 16);
  bytes[3] = static_cast<std::uint8_t>(header.magic >> 24);
  bytes[4] = header.sequence;
  bytes[5] = header.code;
  bytes[6] = static_cast<std::uint8_t>(header.length);
  bytes[7] = static_cast<std::uint8_t>(header.length >> 8);
}

FrameHeader DecodeFrameHeader(ConstFrameHeaderBytes bytes) {
  FrameHeader header;
  header.magic = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
                 static_cast<std::uint32_t>(bytes[2]) << 16 |
                 static_cast<std::uint32_t>(bytes[3]) << 24;
  header.sequence = bytes[4];
  header.code = bytes[5];
  header.length = static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8);
  return header;
}

void EncodeRequestHeader(FrameHeaderBytes bytes, std::uint32_t sequenceCounter,
                         std::uint8_t command, bool secure, std::uint16_t payloadLength) {
  FrameHeader header;
  header.sequence = static_cast<std::uint8_t>(sequenceCounter);
  header.code = static_cast<std::uint8_t>((command & CommandMask) | (secure ? SecureBit : 0));
  header.length = payloadLength;
  EncodeFrameHeader(header, bytes);
}

bool CheckResponseHeader(ConstFrameHeaderBytes bytes, std::uint32_t sequenceCounter) {
  const FrameHeader header = DecodeFrameHeader(bytes);
  return header.magic == FrameMagic &&
         header.sequence == static_cast<std::uint8_t>(sequenceCounter);
}

}  // namespace nevrik
