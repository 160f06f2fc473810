// A whole run of the updater replayed: with fixed host key pairs and a key whose handshake values
// are fixed too, nothing in a run is left to chance.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/updater_run.h"
#include "tests/support/fixed_key_source.h"

namespace nevrik {
namespace {

struct Replay {
  test::RunResult result;
  std::vector<std::vector<std::uint8_t>> transfers;  // every request, as the key received it
  std::vector<std::vector<std::uint8_t>> hostKeys;   // the public keys the host handed out
};

Replay RunWithFixedKeys() {
  test::FixedKeySource hostKeys = test::FixedKeySource::Distinct(3);
  test::UpdaterRun run;
  run.keySource = &hostKeys;
  SimKeyFirmwareConfig firmware;
  firmware.soPin = std::vector<std::uint8_t>{'1', '2', '3', '4'};
  firmware.handshake.privateKey = std::vector<std::uint8_t>(32, 0x42);
  firmware.handshake.leadByte = 0x5A;
  firmware.handshake.initialCounter.emplace();
  firmware.handshake.initialCounter->fill(0x11);
  firmware.handshake.unexamined.emplace();
  firmware.handshake.unexamined->fill(0x22);
  const std::shared_ptr<SimKey> key = run.AttachKey(firmware);

  Replay replay;
  replay.result = run.Run({}, "y\n1234\n");
  for (const KeyRequestRecord& request : key->Firmware().Requests()) {
    replay.transfers.push_back(request.transfer);
  }
  replay.hostKeys = hostKeys.HandedOut();
  return replay;
}

TEST(Replay, FixedHostKeysMakeAWholeRunIdenticalByteForByte) {
  const Replay first = RunWithFixedKeys();
  const Replay second = RunWithFixedKeys();
  ASSERT_EQ(first.result.exitCode, 0) << first.result.out;
  // The run's one handshake took the first fixed key pair, which the request carries.
  ASSERT_EQ(first.hostKeys.size(), 1u);
  const std::vector<std::uint8_t>& handshake = first.transfers.at(2);
  EXPECT_TRUE(std::equal(first.hostKeys[0].begin() + 1, first.hostKeys[0].end(),
                         handshake.begin() + 8 + 9));

  EXPECT_EQ(first.result.out, second.result.out);
  EXPECT_EQ(first.result.err, second.result.err);
  EXPECT_EQ(first.transfers.size(), 21u);
  EXPECT_EQ(first.transfers, second.transfers);
}

}  // namespace
}  // namespace nevrik
