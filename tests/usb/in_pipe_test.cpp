#include "usb/in_pipe.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

namespace nevrik {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t PipeId = 0x81;

Bytes Pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
  }
  return bytes;
}

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t length) {
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

// The packets a device has queued on one bulk IN endpoint, read the way the platform reads them:
// a raw read completes when the requested length has arrived or a short or zero-length packet
// ends the device's transfer. Records every raw read's requested length.
class ScriptedEndpoint final : public RawBulkReader {
 public:
  explicit ScriptedEndpoint(std::uint16_t maxPacketSize) : maxPacketSize(maxPacketSize) {}

  // One device transfer cut into packets. With zeroLengthPacket, a transfer that fills its last
  // packet is followed by a zero-length packet, as short-packet termination has it.
  void QueueTransfer(const Bytes& bytes, bool zeroLengthPacket = true) {
    for (std::size_t offset = 0; offset < bytes.size(); offset += maxPacketSize) {
      packets.push_back(
          Slice(bytes, offset, std::min<std::size_t>(maxPacketSize, bytes.size() - offset)));
    }
    if (zeroLengthPacket && bytes.size() % maxPacketSize == 0) {
      packets.emplace_back();
    }
  }

  void FailRead(std::size_t index) { failingRead = index; }

  bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override {
    EXPECT_EQ(pipeId, PipeId);
    const std::size_t index = requests.size();
    requests.push_back(length);
    if (failingRead == index) {
      return false;
    }
    received = 0;
    while (received < length) {
      if (packets.empty()) {
        ADD_FAILURE() << "raw read " << index << " waits for a packet the device never sends";
        return false;
      }
      const Bytes packet = packets.front();
      if (packet.size() > length - received) {
        ADD_FAILURE() << "a " << packet.size() << "-byte packet overflows raw read " << index;
        return false;
      }
      packets.pop_front();
      std::copy(packet.begin(), packet.end(), data + received);
      received += static_cast<std::uint32_t>(packet.size());
      if (packet.size() < maxPacketSize) {
        break;  // a short or zero-length packet ends the transfer
      }
    }
    return true;
  }

  std::vector<std::uint32_t> requests;
  std::deque<Bytes> packets;

 private:
  std::uint16_t maxPacketSize;
  std::optional<std::size_t> failingRead;
};

class InPipeRead : public testing::TestWithParam<std::uint16_t> {
 protected:
  using Requests = std::vector<std::uint32_t>;

  // Reads length bytes and returns what arrived; the read must succeed.
  Bytes Read(std::uint32_t length) {
    Bytes data(length, 0xEE);
    std::uint32_t transferred = 0xFFFFFFFF;
    EXPECT_TRUE(pipe.Read(device, data.data(), length, &transferred));
    EXPECT_LE(transferred, length);
    data.resize(std::min(transferred, length));
    return data;
  }

  bool ReadFails(std::uint32_t length) {
    Bytes data(length);
    std::uint32_t transferred = 0;
    return !pipe.Read(device, data.data(), length, &transferred);
  }

  bool NothingStaged() const { return pipe.position == pipe.available; }

  const std::uint32_t M = GetParam();
  ScriptedEndpoint device{GetParam()};
  InPipe pipe{PipeId, true, GetParam()};
};

// With M = 64: a 64-byte response read as 8 then 56 bytes.
TEST_P(InPipeRead, FullPacketInTwoPiecesConsumesTheZeroLengthPacket) {
  const Bytes response = Pattern(M, 1);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  EXPECT_EQ(device.requests, Requests({M}));
  EXPECT_EQ(pipe.available, M);
  EXPECT_EQ(pipe.position, 8);

  EXPECT_EQ(Read(M - 8), Slice(response, 8, M - 8));
  EXPECT_EQ(device.requests, Requests({M, M}));
  EXPECT_EQ(pipe.available, 0);
  EXPECT_EQ(pipe.position, 0);
  EXPECT_TRUE(device.packets.empty());
}

// A 20-byte response read as 8 then 12 bytes.
TEST_P(InPipeRead, ShortPacketInTwoPiecesNeedsOneRawRead) {
  const Bytes response = Pattern(20, 2);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  EXPECT_EQ(Read(12), Slice(response, 8, 12));
  EXPECT_EQ(device.requests, Requests({M}));
  EXPECT_TRUE(NothingStaged());
}

// With M = 64: Read of 200 bytes when the device sends 200.
TEST_P(InPipeRead, WholePacketsGoStraightToTheCallerAndOnlyTheTailIsStaged) {
  const Bytes response = Pattern(3 * M + 8, 3);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(3 * M + 8), response);
  EXPECT_EQ(device.requests, Requests({3 * M, M}));
  EXPECT_EQ(pipe.available, 8);
  EXPECT_EQ(pipe.position, 8);
}

// With M = 64: Read of 128 bytes when the device sends exactly 128 and a zero-length packet.
TEST_P(InPipeRead, ExactMultipleOfThePacketSizeConsumesTheZeroLengthPacket) {
  const Bytes response = Pattern(2 * M, 4);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(2 * M), response);
  EXPECT_EQ(device.requests, Requests({2 * M, M}));
  EXPECT_EQ(pipe.available, 0);
  EXPECT_TRUE(device.packets.empty());
}

// With M = 64: Read of 200 bytes when the device sends 100.
TEST_P(InPipeRead, ShortTransferEndsTheReadEarly) {
  const Bytes response = Pattern(M + 36, 5);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(3 * M + 8), response);
  EXPECT_EQ(device.requests, Requests({3 * M}));
  EXPECT_TRUE(NothingStaged());
}

TEST_P(InPipeRead, TransferEndingExactlyAtTheWholePacketsEndsTheRead) {
  const Bytes response = Pattern(M, 6);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(M + 30), response);
  EXPECT_EQ(device.requests, Requests({M, M}));  // the second read receives the ZLP
  EXPECT_EQ(pipe.available, 0);
  EXPECT_TRUE(device.packets.empty());
}

TEST_P(InPipeRead, StagedBytesThenWholePacketsThenTail) {
  const Bytes response = Pattern(2 * M + 20, 7);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  EXPECT_EQ(Read(2 * M + 12), Slice(response, 8, 2 * M + 12));
  EXPECT_EQ(device.requests, Requests({M, M, M}));
  EXPECT_TRUE(NothingStaged());
  EXPECT_TRUE(device.packets.empty());
}

TEST_P(InPipeRead, DataInsteadOfAZeroLengthPacketStaysStaged) {
  const Bytes response = Pattern(2 * M + 5, 8);
  device.QueueTransfer(response);

  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  EXPECT_EQ(Read(M - 8), Slice(response, 8, M - 8));
  EXPECT_EQ(pipe.available, M);  // the second packet, read where a ZLP could have been
  EXPECT_EQ(pipe.position, 0);
  EXPECT_EQ(Read(M + 5), Slice(response, M, M + 5));
  EXPECT_EQ(device.requests, Requests({M, M, M}));
  EXPECT_TRUE(device.packets.empty());
}

TEST_P(InPipeRead, ConsecutiveResponsesStayApart) {
  const Bytes first = Pattern(M, 9);
  const Bytes second = Pattern(20, 10);
  const Bytes third = Pattern(2 * M, 11);
  device.QueueTransfer(first);
  device.QueueTransfer(second);
  device.QueueTransfer(third);

  EXPECT_EQ(Read(8), Slice(first, 0, 8));
  EXPECT_EQ(Read(M - 8), Slice(first, 8, M - 8));
  EXPECT_EQ(Read(8), Slice(second, 0, 8));
  EXPECT_EQ(Read(12), Slice(second, 8, 12));
  EXPECT_EQ(Read(8), Slice(third, 0, 8));
  EXPECT_EQ(Read(2 * M - 8), Slice(third, 8, 2 * M - 8));
  EXPECT_TRUE(device.packets.empty());
  EXPECT_EQ(pipe.available, 0);
}

TEST_P(InPipeRead, AskingBeyondAShortPacketStopsAtTheEndOfItsTransfer) {
  const Bytes response = Pattern(20, 12);
  const Bytes next = Pattern(30, 13);
  device.QueueTransfer(response);
  device.QueueTransfer(next);

  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  EXPECT_EQ(Read(100), Slice(response, 8, 12));  // the device sent no more in this transfer
  EXPECT_EQ(device.requests, Requests({M}));
  EXPECT_EQ(Read(30), next);
}

TEST_P(InPipeRead, WithoutShortPacketTerminateTheZeroLengthPacketIsLeftUnread) {
  InPipe plain(PipeId, false, static_cast<std::uint16_t>(M));
  const Bytes whole = Pattern(2 * M, 14);
  const Bytes piecewise = Pattern(M, 15);
  device.QueueTransfer(whole);
  device.QueueTransfer(piecewise);
  Bytes data(2 * M);
  std::uint32_t transferred = 0;

  ASSERT_TRUE(plain.Read(device, data.data(), 2 * M, &transferred));
  EXPECT_EQ(transferred, 2 * M);
  EXPECT_EQ(data, whole);
  EXPECT_EQ(device.requests, Requests({2 * M}));
  ASSERT_FALSE(device.packets.empty());
  EXPECT_TRUE(device.packets.front().empty());
  device.packets.pop_front();

  ASSERT_TRUE(plain.Read(device, data.data(), 8, &transferred));
  ASSERT_TRUE(plain.Read(device, data.data() + 8, M - 8, &transferred));
  EXPECT_EQ(transferred, M - 8);
  EXPECT_EQ(Slice(data, 0, M), piecewise);
  EXPECT_EQ(device.requests, Requests({2 * M, M}));
  EXPECT_EQ(device.packets.size(), 1u);  // the zero-length packet
}

TEST_P(InPipeRead, FailedStagingReadFails) {
  device.QueueTransfer(Pattern(20, 16));
  device.FailRead(0);
  EXPECT_TRUE(ReadFails(8));
  EXPECT_EQ(device.requests, Requests({M}));
  EXPECT_TRUE(NothingStaged());
}

TEST_P(InPipeRead, FailedWholePacketReadFailsWithoutATailRead) {
  device.QueueTransfer(Pattern(3 * M + 8, 17));
  device.FailRead(0);
  EXPECT_TRUE(ReadFails(3 * M + 8));
  EXPECT_EQ(device.requests, Requests({3 * M}));
  EXPECT_TRUE(NothingStaged());
}

TEST_P(InPipeRead, FailedTailReadFails) {
  device.QueueTransfer(Pattern(3 * M + 8, 18));
  device.FailRead(1);
  EXPECT_TRUE(ReadFails(3 * M + 8));
  EXPECT_EQ(device.requests, Requests({3 * M, M}));
  EXPECT_TRUE(NothingStaged());
}

TEST_P(InPipeRead, FailedZeroLengthPacketReadAfterStagedBytesFails) {
  const Bytes response = Pattern(M, 19);
  device.QueueTransfer(response);
  device.FailRead(1);
  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  EXPECT_TRUE(ReadFails(M - 8));
  EXPECT_EQ(device.requests, Requests({M, M}));
  EXPECT_TRUE(NothingStaged());
}

TEST_P(InPipeRead, FailedZeroLengthPacketReadAfterWholePacketsFails) {
  device.QueueTransfer(Pattern(2 * M, 20));
  device.FailRead(1);
  EXPECT_TRUE(ReadFails(2 * M));
  EXPECT_EQ(device.requests, Requests({2 * M, M}));
  EXPECT_TRUE(NothingStaged());
}

TEST_P(InPipeRead, DroppingStagedBytesMakesTheNextReadStartWithARawRead) {
  const Bytes response = Pattern(20, 21);
  const Bytes next = Pattern(20, 22);
  device.QueueTransfer(response);
  device.QueueTransfer(next);

  EXPECT_EQ(Read(8), Slice(response, 0, 8));
  pipe.DropStaged();
  EXPECT_EQ(Read(12), Slice(next, 0, 12));
  EXPECT_EQ(device.requests, Requests({M, M}));
}

TEST_P(InPipeRead, InvalidArgumentsFailWithoutARawReadOrAnyChange) {
  const Bytes response = Pattern(20, 23);
  device.QueueTransfer(response);
  EXPECT_EQ(Read(8), Slice(response, 0, 8));

  Bytes data(16);
  std::uint32_t transferred = 12345;
  EXPECT_FALSE(pipe.Read(device, nullptr, 12, &transferred));
  EXPECT_FALSE(pipe.Read(device, data.data(), 0, &transferred));
  EXPECT_FALSE(pipe.Read(device, data.data(), 12, nullptr));
  EXPECT_EQ(transferred, 12345u);

  EXPECT_EQ(Read(12), Slice(response, 8, 12));
  EXPECT_EQ(device.requests, Requests({M}));
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, InPipeRead, testing::Values(64, 512),
                         [](const auto& info) { return "M" + std::to_string(info.param); });

TEST(InPipe, ZeroMaxPacketSizeIsRefused) {
  ScriptedEndpoint device(64);
  device.QueueTransfer(Pattern(20, 24));
  InPipe pipe(PipeId, true, 0);
  Bytes data(8);
  std::uint32_t transferred = 777;
  EXPECT_FALSE(pipe.Read(device, data.data(), 8, &transferred));
  EXPECT_EQ(transferred, 777u);
  EXPECT_TRUE(device.requests.empty());
}

// A backend that claims more bytes than it was asked for.
class OverreportingReader final : public RawBulkReader {
 public:
  bool ReadRaw(std::uint8_t, std::uint8_t*, std::uint32_t length,
               std::uint32_t& received) override {
    received = length + 1;
    return true;
  }
};

TEST(InPipe, BackendReportingMoreThanAskedFailsTheRead) {
  OverreportingReader reader;
  InPipe pipe(PipeId, true, 64);
  Bytes data(200);
  std::uint32_t transferred = 0;
  EXPECT_FALSE(pipe.Read(reader, data.data(), 8, &transferred));
  EXPECT_FALSE(pipe.Read(reader, data.data(), 200, &transferred));
  EXPECT_EQ(pipe.available, 0);
}

}  // namespace
}  // namespace nevrik
