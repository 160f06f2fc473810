// The write loop's steady state, counted in-process against a key that answers at once and
// allocates nothing itself: from one chunk to the next the host makes no heap allocation and
// exactly one bulk OUT and one bulk IN transfer.
#include <gtest/gtest.h>

#include <cryptopp/sha.h>

#include <array>
#include <memory>
#include <vector>

#include "app/update_procedure.h"
#include "tests/support/allocation_count.h"
#include "tests/support/captured_file.h"
#include "tests/support/scripted_key_device.h"

namespace nevrik {
namespace {

using test::AllocationCount;
using test::ScriptedKeyDevice;

// The counts when a write frame reached the key.
struct ChunkMark {
  std::uint64_t allocations;
  unsigned outTransfers;
  unsigned inTransfers;
};

TEST(WriteLoop, CounterSeesAllocations) {
  const std::uint64_t before = AllocationCount();
  const auto buffer = std::make_unique<std::vector<std::uint8_t>>(100);
  volatile std::uint8_t* escape = buffer->data();  // keeps both allocations
  static_cast<void>(escape);
  EXPECT_GE(AllocationCount() - before, 2u);
}

TEST(WriteLoop, EachChunkAfterTheFirstAllocatesNothingAndTakesTwoTransfers) {
  for (const std::uint16_t packetSize : {64, 512}) {
    SCOPED_TRACE(packetSize);
    test::CapturedFile out;
    UpdaterEnvironment environment;
    environment.streams.out = out.File();
    std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> digest;
    const auto image = environment.pack.Image();
    CryptoPP::SHA256().CalculateDigest(digest.data(), image.data(), image.size());

    auto device = std::make_unique<ScriptedKeyDevice>(packetSize, digest);
    ScriptedKeyDevice& key = *device;
    std::vector<ChunkMark> marks;
    marks.reserve(32);
    key.onRequest = [&](std::span<const std::uint8_t> frame) {
      if ((frame[5] & CommandMask) == CmdWrite) {
        marks.push_back({AllocationCount(), key.Counts().outTransfers, key.Counts().inTransfers});
      }
    };
    test::ScriptedKeyEnumerator enumerator(std::move(device));
    enumerator.Enumerate();
    const std::unique_ptr<DeviceSession> session = DeviceSession::Create(enumerator);
    ASSERT_NE(session, nullptr);

    SecretBytes noPin;
    ASSERT_EQ(WriteAndDeployFirmware(*session, noPin, environment), UpdateOutcome::Deployed);

    ASSERT_EQ(marks.size(), (image.size() + WriteChunkSize - 1) / WriteChunkSize);
    for (std::size_t chunk = 1; chunk < marks.size(); ++chunk) {
      EXPECT_EQ(marks[chunk].allocations - marks[chunk - 1].allocations, 0u) << "chunk " << chunk;
      EXPECT_EQ(marks[chunk].outTransfers - marks[chunk - 1].outTransfers, 1u);
      EXPECT_EQ(marks[chunk].inTransfers - marks[chunk - 1].inTransfers, 1u);
    }
  }
}

}  // namespace
}  // namespace nevrik
