#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "usb/in_pipe.h"

namespace nevrik {
namespace {

// A device that sends the same response again and again, packet by packet: full packets, then
// the short last one, or a zero-length packet after a response that fills its last packet.
class RepeatingResponse final : public RawBulkReader {
 public:
  RepeatingResponse(std::uint32_t responseSize, std::uint32_t packetSize)
      : packetSize(packetSize), content(packetSize, 0x42) {
    for (; responseSize >= packetSize; responseSize -= packetSize) {
      packets.push_back(packetSize);
    }
    packets.push_back(responseSize);
  }

  bool ReadRaw(std::uint8_t, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override {
    received = 0;
    while (received < length) {
      const std::uint32_t packet = std::min(packets[next], length - received);
      next = (next + 1) % packets.size();
      std::memcpy(data + received, content.data(), packet);
      received += packet;
      if (packet < packetSize) {
        break;  // a short packet ends the transfer
      }
    }
    return true;
  }

 private:
  std::uint32_t packetSize;
  std::vector<std::uint8_t> content;
  std::vector<std::uint32_t> packets;
  std::size_t next = 0;
};

// A response read as the session reads it: the 8-byte header, then the payload.
void BM_ReadHeaderThenPayload(benchmark::State& state) {
  const auto payloadSize = static_cast<std::uint32_t>(state.range(0));
  const auto packetSize = static_cast<std::uint16_t>(state.range(1));
  RepeatingResponse device(8 + payloadSize, packetSize);
  InPipe pipe(0x81, true, packetSize);
  std::vector<std::uint8_t> buffer(8 + payloadSize);
  std::uint32_t transferred = 0;
  for (auto _ : state) {
    pipe.Read(device, buffer.data(), 8, &transferred);
    if (payloadSize > 0) {
      pipe.Read(device, buffer.data() + 8, payloadSize, &transferred);
    }
    if (transferred != (payloadSize > 0 ? payloadSize : 8)) {
      state.SkipWithError("the response did not arrive whole");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (8 + payloadSize));
}
BENCHMARK(BM_ReadHeaderThenPayload)
    ->Args({0, 64})
    ->Args({32, 64})
    ->Args({108, 64})
    ->Args({8184, 512})
    ->Args({8192, 512});

}  // namespace
}  // namespace nevrik
