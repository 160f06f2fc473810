// nevrik-usbbus as the end-to-end tests use it: plug in devices, run a command against them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/updater_texts.h"

namespace nevrik::test {
namespace {

const std::string Updatable = "NEVRIK can be updated. ver.1.5 -> ver.2.0\n" + Caution;

ProgramResult RunUnderBus(const std::vector<std::string>& arguments,
                          const std::string& input = "") {
  return RunProgram(NEVRIK_USBBUS_PATH, arguments, input);
}

TEST(UsbBusProgram, UpdatesASimulatedKeyWithTheShippedUpdater) {
  for (const char* key : {"--key", "--key=packet=512,so-pin=1234"}) {
    const bool withPin = std::string(key).find("so-pin") != std::string::npos;
    const ProgramResult result =
        RunUnderBus({key, "--", NEVRIK_UPDATER_PATH}, withPin ? "y\n1234\n" : "y\n");
    EXPECT_EQ(result.out, Banner + Updatable + Question + (withPin ? "SO PIN: \n" : "") +
                              "Writing firmware .............. done!\n"
                              "Verifying firmware .. done!\n"
                              "Updated successfully!\n")
        << key;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitCode, 0);
  }
}

// Run as nobody, to whom the node is closed; root could open it anyway.
TEST(UsbBusProgram, UnprivilegedUpdaterSaysWhyItFoundNoKey) {
  const ProgramResult result =
      RunUnderBus({"--as-user=nobody", "--key=unreadable", "--", NEVRIK_UPDATER_PATH});
  EXPECT_EQ(result.out, Banner + NotFound +
                            "[WARN   ] 1 USB device could not be inspected for lack of permission. "
                            "Run nevrik-update with sufficient rights, or grant access to the "
                            "device node.\n" +
                            Canceled);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 3);
}

TEST(UsbBusProgram, GivesTheCommandsExitCode) {
  EXPECT_EQ(RunUnderBus({"--other-device", "--", "/bin/sh", "-c", "exit 7"}).exitCode, 7);
  EXPECT_EQ(RunUnderBus({"--", "/bin/sh", "-c", "kill -TERM $$"}).exitCode, 128 + 15);
}

TEST(UsbBusProgram, RefusesWhatItCannotDo) {
  const ProgramResult badSettings = RunUnderBus({"--key=packet=100", "--", "/bin/true"});
  EXPECT_EQ(badSettings.exitCode, 125);
  EXPECT_EQ(badSettings.err.rfind("nevrik-usbbus: bad settings: --key=packet=100\nusage: ", 0), 0u);

  const ProgramResult takenPort = RunUnderBus({"--key=port=2", "--key=port=2", "--", "/bin/true"});
  EXPECT_EQ(takenPort.exitCode, 125);
  EXPECT_EQ(takenPort.err, "nevrik-usbbus: port 2 of bus 1 is taken\n");

  EXPECT_EQ(RunUnderBus({"--key"}).exitCode, 125);
  EXPECT_EQ(RunUnderBus({"--as-user=no-such-user", "--", "/bin/true"}).err,
            "nevrik-usbbus: no user no-such-user\n");
  EXPECT_EQ(RunUnderBus({"--", "/no/such/program"}).exitCode, 127);
}

}  // namespace
}  // namespace nevrik::test
