// The shipped programs run by scripts, as a shell runs them: answers piped in or given with
// --yes, the SO PIN from a descriptor, stray arguments, and the README's scripted example.
// Against a simulated key on the emulated bus in this process, whose own record says which
// requests reached it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_key.h"
#include "tests/support/captured_file.h"
#include "tests/support/key_requests.h"
#include "tests/support/program_under_test.h"
#include "tests/support/updater_texts.h"
#include "usbbus/emulated_usb_bus.h"

namespace nevrik::test {
namespace {

const std::string Pin = "SO PIN: \n";
const std::string Answered = AskedToUpdateFrom15 + "y\n";
const std::string Updated =
    "Writing firmware .............. done!\nVerifying firmware .. done!\nUpdated successfully!\n";
const std::string Refused = "[ERROR  ] Incorrect SO PIN.\n" + Canceled;
const Commands None = {};
// The shell prepares: $U the updater, $I nevrik-info, $R the README's example; both programs on
// PATH, and standard error joined to standard output.
const std::string Prepare =
    "U=" + ProgramUnderTest(NEVRIK_UPDATER_PATH) + "; I=" + ProgramUnderTest(NEVRIK_INFO_PATH) +
    "; PATH=\"${U%/*}:$PATH\"; exec 2>&1; R=$(sed -n '/^## Scripted updates$/,/^## /p' " +
    NEVRIK_TEST_DATA_DIR "/../README.md | sed -n '/^```bash$/,/^```$/{//!p}'); ";

struct ScriptCase {
  const char* name;
  const char* script;  // for sh, standard input empty
  const char* soPin;   // the key's; null: none
  int firmwareMajor;   // 1: the key runs 1.5, else 2.0
  std::string out;
  int exitCode;
  Commands commands;  // what reached the key
};

void PrintTo(const ScriptCase& run, std::ostream* stream) {
  *stream << run.script;
}

class ScriptedRun : public ::testing::TestWithParam<ScriptCase> {
 protected:
  usbbus::EmulatedUsbBus bus;
};

TEST_P(ScriptedRun, GivesExactTranscriptExitCodeAndRequests) {
  const ScriptCase& run = GetParam();
  SimKeyFirmwareConfig firmware;
  firmware.firmwareMajor = static_cast<std::uint8_t>(run.firmwareMajor);
  firmware.firmwareMinor = run.firmwareMajor == 1 ? 5 : 0;
  if (run.soPin != nullptr) {
    firmware.soPin =
        std::vector<std::uint8_t>(run.soPin, run.soPin + std::string(run.soPin).size());
  }
  const auto key = std::make_shared<SimKey>(SimKeyUsbConfig{}, firmware);
  bus.Plug(key);
  const CapturedFile in;
  const CapturedFile out;
  EXPECT_EQ(bus.RunCommand({"/bin/sh", "-c", Prepare + run.script},
                           {std::nullopt, fileno(out.File()), -1, fileno(in.File())}),
            run.exitCode);
  EXPECT_EQ(out.Text(), run.out);
  Commands received;
  for (const KeyRequestRecord& request : key->Firmware().Requests()) {
    received.push_back(request.command);
  }
  EXPECT_EQ(received, run.commands);
}

// At the end of the input, or at an empty line, no PIN is sent: the key would count a try.
INSTANTIATE_TEST_SUITE_P(
    Scripts, ScriptedRun,
    ::testing::Values(
        ScriptCase{"PinMissing", "printf 'y\\n' | $U", "1234", 1,
                   AskedToUpdateFrom15 + Pin + Canceled, 4, StatusRead},
        ScriptCase{"CarriageReturns", "printf 'y\\r\\n1234\\r\\n' | $U", "1234", 1,
                   AskedToUpdateFrom15 + Pin + Updated, 0, WholeUpdate()},
        ScriptCase{"YesNotForce", "$U --yes", nullptr, 2,
                   Banner + "Current firmware is ver.2.0. No update is needed.\n", 1, StatusRead},
        ScriptCase{"YesAndForce", "$U --yes -f", nullptr, 2,
                   Banner + "Force update is activated. ver.2.0 -> ver.2.0\n" + Caution + Question +
                       "y\n" + Updated,
                   0, WholeUpdate()},
        ScriptCase{"PinFd", "printf '1234\\n' | $U --yes --so-pin-fd=3 3<&0 </dev/null", "1234", 1,
                   Answered + Pin + Updated, 0, WholeUpdate()},
        ScriptCase{"PinFdCarriageReturn", "printf '1234\\r\\n' | $U --yes --so-pin-fd 3 3<&0",
                   "1234", 1, Answered + Pin + Updated, 0, WholeUpdate()},
        ScriptCase{"PinFdEmpty", "printf '\\n1234\\n' | $U --yes --so-pin-fd=3 3<&0", "1234", 1,
                   Answered + Pin + Canceled, 4, StatusRead},
        ScriptCase{"PinFdAbsent", "$U --yes --so-pin-fd=3 3</dev/null", "1234", 1,
                   Answered + Pin + Canceled, 4, StatusRead},
        ScriptCase{"ReadmeWithPin", "printf '1234\\n' | bash -c \"$R\"", "1234", 1,
                   "\n" + Answered + Pin + Updated, 0, Then(StatusRead, WholeUpdate())},
        ScriptCase{"ReadmeWrongPin", "printf '0000\\n' | bash -c \"$R\"", "1234", 1,
                   "\n" + Answered + Pin + Refused, 4, Then(StatusRead, RefusedPin)},
        ScriptCase{"ReadmeWithoutPin", "bash -c \"$R\"", nullptr, 1, Answered + Updated, 0,
                   Then(StatusRead, WholeUpdate())}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

// Nothing happens after a command-line error: no banner, no request to the key.
INSTANTIATE_TEST_SUITE_P(
    CommandLineErrors, ScriptedRun,
    ::testing::Values(ScriptCase{"Path", "$U /dev/bus/usb/001/009", nullptr, 1,
                                 "unexpected argument -- /dev/bus/usb/001/009\n", 2, None},
                      ScriptCase{"Info", "$I --json extra", nullptr, 1,
                                 "unexpected argument -- extra\n", 2, None},
                      ScriptCase{"PinFdNotOpen", "$U --so-pin-fd=9 9<&-", "1234", 1,
                                 "no SO PIN can be read from descriptor -- 9\n", 2, None},
                      ScriptCase{"PinFdOutput", "$U --so-pin-fd=1", "1234", 1,
                                 "no SO PIN can be read from descriptor -- 1\n", 2, None},
                      ScriptCase{"PinFdNoNumber", "$U --so-pin-fd=3x 3</dev/null", "1234", 1,
                                 "no SO PIN can be read from descriptor -- 3x\n", 2, None},
                      ScriptCase{"DeviceEmpty", "$U --device= --yes", nullptr, 1,
                                 "option need an argument -- device\n", 2, None},
                      ScriptCase{"InfoDeviceEmpty", "$I --device ''", nullptr, 1,
                                 "option need an argument -- device\n", 2, None},
                      ScriptCase{"DoubleDashAlone", "$U --yes --", nullptr, 1, Answered + Updated,
                                 0, WholeUpdate()}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

}  // namespace
}  // namespace nevrik::test
