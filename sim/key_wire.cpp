#include "sim/key_wire.h"

#include <algorithm>

namespace nevrik::simkey {

std::optional<KeyFrameHeader> ParseKeyFrameHeader(std::span<const std::uint8_t> transfer) {
  if (transfer.size() < HeaderSize ||
      !std::equal(std::begin(Magic), std::end(Magic), transfer.begin())) {
    return std::nullopt;
  }
  KeyFrameHeader header;
  header.sequence = transfer[4];
  header.code = transfer[5] & CodeMask;
  header.secure = (transfer[5] & SecureBit) != 0;
  header.length = static_cast<std::uint16_t>(transfer[6] | (transfer[7] << 8));
  return header;
}

std::vector<std::uint8_t> BuildKeyFrame(std::uint8_t sequence, std::uint8_t status, bool secure,
                                        std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> frame(std::begin(Magic), std::end(Magic));
  frame.push_back(sequence);
  frame.push_back(static_cast<std::uint8_t>((status & 0x7F) | (secure ? SecureBit : 0)));
  frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

}  // namespace nevrik::simkey
