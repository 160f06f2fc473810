// A run closes the descriptor it was given the SO PIN on, whether it read the PIN or not.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/app/updater_run.h"

namespace nevrik {
namespace {

TEST(SoPinDescriptor, IsClosedAtTheEndOfTheRun) {
  for (const bool keyAttached : {true, false}) {
    test::UpdaterRun run;
    if (keyAttached) {
      SimKeyFirmwareConfig firmware;
      firmware.soPin = std::vector<std::uint8_t>{'4', '7', '1', '1'};
      run.AttachKey(firmware);
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "4711\n", 5), 5);
    close(ends[1]);
    EXPECT_EQ(run.Run({L"--yes", L"--so-pin-fd=" + std::to_wstring(ends[0])}).exitCode,
              keyAttached ? 0 : 3);
    EXPECT_EQ(fcntl(ends[0], F_GETFD), -1);
  }
}

}  // namespace
}  // namespace nevrik
