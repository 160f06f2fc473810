// The shipped Windows program through pipes: the exact bytes it writes. Its standard streams are
// in text mode, so each line ends in "\r\n", in a console and in a redirected file alike.
#include <gtest/gtest.h>

#include "tests/support/run_program.h"

namespace nevrik {
namespace {

using test::ProgramResult;
using test::RunProgram;

const std::string Banner =
    "NEVRIK firmware ver.2.0 updater (2.0.0.111 (2a12b68e))\r\n"
    "Copyright (C) 2026 The nevrik-update developers. All rights reserved.\r\n"
    "\r\n";

TEST(WindowsProgram, BannerLinesEndInCarriageReturnAndLineFeed) {
  const ProgramResult result = RunProgram(NEVRIK_UPDATER_PATH, {"--version"});
  EXPECT_EQ(result.out, Banner);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 0);
}

// Wine has no WinUSB device, so SetupAPI finds no key.
TEST(WindowsProgram, NoKeyIsWarnedAndCanceled) {
  const ProgramResult result = RunProgram(NEVRIK_UPDATER_PATH, {});
  EXPECT_EQ(result.out, Banner +
                            "[WARN   ] NEVRIK not found. Please attach one NEVRIK device to the "
                            "PC.\r\nUpdate canceled.\r\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 3);
}

// An option letter outside ASCII arrives as typed, in UTF-16, and is written back in the
// console's code page: 437 under the test runner, in which é is 0x82 and ö is 0x94.
TEST(WindowsProgram, NonAsciiOptionIsEchoedInTheConsoleCodePage) {
  const ProgramResult letter = RunProgram(NEVRIK_UPDATER_PATH, {"-\xC3\xA9"});
  EXPECT_EQ(letter.err, "unknown option -- \x82\r\n");
  EXPECT_EQ(letter.exitCode, 2);

  const ProgramResult name = RunProgram(NEVRIK_UPDATER_PATH, {"--verb\xC3\xB6se"});
  EXPECT_EQ(name.err, "unknown option -- verb\x94se\r\n");
  EXPECT_EQ(name.exitCode, 2);
}

// A script gives the SO PIN on standard input after --yes: Windows has no descriptor to name.
TEST(WindowsProgram, SoPinDescriptorIsRefusedWithTheWayThatWorks) {
  const ProgramResult result = RunProgram(NEVRIK_UPDATER_PATH, {"--yes", "--so-pin-fd=3"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "no SO PIN descriptors on Windows: give the PIN on standard input -- 3\r\n");
  EXPECT_EQ(result.exitCode, 2);
}

}  // namespace
}  // namespace nevrik
