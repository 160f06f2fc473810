// The buffered IN pipe against a device and a platform that misbehave. The first input byte
// picks the maximum packet size and short-packet termination; then come 3-byte records, a kind
// and a 16-bit little-endian value:
//   0  the device queues a packet of value % (2 * maxPacketSize + 2) bytes, beyond the maximum
//      packet size included (0 is a zero-length packet)
//   1  the raw read that meets this point of the queue fails
//   2  the host reads value % 4097 bytes into a buffer of exactly that size
//   3  the host drops the staged bytes
//   4  the raw read that meets this point reports one byte more than it was asked for
// A violated invariant aborts, so the fuzzer reports it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <span>
#include <vector>

#include "usb/in_pipe.h"

namespace nevrik {
namespace {

constexpr std::uint8_t PipeId = 0x81;
constexpr std::uint16_t PacketSizes[] = {64, 512, 8, 16, 1, 3, 1024, 0};
constexpr std::uint32_t LongestRead = 4096;

enum class Event { Packet, Failure, Overreport };

struct Queued {
  Event event;
  std::uint32_t size;
};

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// The platform's raw read: packets arrive until the requested length is reached or a packet
// shorter than the maximum ends the transfer. A packet that does not fit what is left fails the
// read (babble), as does running out of packets, where a real read would wait for ever.
class HostileEndpoint final : public RawBulkReader {
 public:
  explicit HostileEndpoint(std::uint16_t maxPacketSize) : maxPacketSize(maxPacketSize) {}

  bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override {
    Check(pipeId == PipeId);
    ++rawReads;
    received = 0;
    while (!queue.empty()) {
      const Queued next = queue.front();
      queue.pop_front();
      if (next.event == Event::Failure) {
        return false;
      }
      if (next.event == Event::Overreport) {
        received = length + 1;
        return true;
      }
      if (next.size > length - received) {
        return false;
      }
      std::memset(data + received, static_cast<int>(next.size), next.size);
      received += next.size;
      if (next.size < maxPacketSize || received == length) {
        return true;
      }
    }
    return false;
  }

  std::uint16_t maxPacketSize;
  std::deque<Queued> queue;
  unsigned rawReads = 0;
};

void ReadThroughPipe(std::span<const std::uint8_t> input) {
  if (input.empty()) {
    return;
  }
  const std::uint16_t maxPacketSize = PacketSizes[input[0] & 7];
  InPipe pipe(PipeId, (input[0] & 8) != 0, maxPacketSize);
  HostileEndpoint endpoint(maxPacketSize);

  for (std::size_t offset = 1; offset + 3 <= input.size(); offset += 3) {
    const std::uint32_t value = input[offset + 1] | input[offset + 2] << 8;
    switch (input[offset] % 5) {
      case 0:
        endpoint.queue.push_back({Event::Packet, value % (2u * maxPacketSize + 2)});
        break;
      case 1:
        endpoint.queue.push_back({Event::Failure, 0});
        break;
      case 2: {
        const std::uint32_t length = value % (LongestRead + 1);
        std::vector<std::uint8_t> buffer(length);
        std::uint32_t transferred = 0xFFFFFFFF;
        const unsigned rawReadsBefore = endpoint.rawReads;
        const bool ok = pipe.Read(endpoint, buffer.data(), length, &transferred);
        Check(endpoint.rawReads - rawReadsBefore <= 2);
        Check(!ok || transferred <= length);
        Check(length != 0 ||
              (!ok && transferred == 0xFFFFFFFF && endpoint.rawReads == rawReadsBefore));
        break;
      }
      case 3:
        pipe.DropStaged();
        break;
      default:
        endpoint.queue.push_back({Event::Overreport, 0});
        break;
    }
    Check(pipe.position <= pipe.available && pipe.available <= pipe.maxPacketSize);
    Check(pipe.staging.size() == maxPacketSize);
  }
}

}  // namespace
}  // namespace nevrik

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  nevrik::ReadThroughPipe(std::span(data, size));
  return 0;
}
