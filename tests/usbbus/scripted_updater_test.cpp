// The shipped programs run by a script, as a shell runs them: answers piped in or given with
// --yes, the SO PIN from a descriptor, stray arguments. Against a simulated key on the emulated
// bus in this process, whose own record says which requests reached it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_key.h"
#include "tests/support/captured_file.h"
#include "tests/support/updater_texts.h"
#include "usbbus/emulated_usb_bus.h"

namespace nevrik::test {
namespace {

using Commands = std::vector<std::uint8_t>;

const std::string PinPrompt = "SO PIN: \n";
const std::string Answered = AskedToUpdateFrom15 + "y\n";
const std::string Updated =
    "Writing firmware .............. done!\nVerifying firmware .. done!\nUpdated successfully!\n";
const Commands StatusRead = {CmdQuery, CmdQuery};

Commands WholeUpdate() {
  Commands commands = {CmdQuery, CmdQuery, CmdHandshake, CmdSetup};
  commands.insert(commands.end(), 14, CmdWrite);
  commands.insert(commands.end(), {CmdGetHash, CmdDeploy, CmdFinal});
  return commands;
}

struct ScriptCase {
  const char* name;
  // Run by sh with the updater as $U and nevrik-info as $I; standard input is empty.
  const char* script;
  const char* soPin;  // the key's; null: none
  std::uint8_t firmwareMajor;
  std::string out;
  std::string err;
  int exitCode;
  Commands commands;  // what reached the key
};

// The README's scripted example, as the README shows it, in a file of its own for this process.
class ReadmeExampleFile {
 public:
  ReadmeExampleFile() {
    std::ifstream readme(NEVRIK_TEST_DATA_DIR "/../README.md");
    std::stringstream text;
    text << readme.rdbuf();
    const std::string whole = text.str();
    const std::size_t section = whole.find("\n## Scripted updates\n");
    const std::size_t start = whole.find("```bash\n", section);
    const std::size_t end = whole.find("```\n", start + 8);
    if (section == std::string::npos || end == std::string::npos) {
      throw std::runtime_error("no example under \"Scripted updates\" in the README");
    }
    const int file = mkstemp(path);
    if (file < 0) {
      throw std::runtime_error("cannot create a file for the README's example");
    }
    close(file);
    std::ofstream(path) << whole.substr(start + 8, end - start - 8);
  }
  ~ReadmeExampleFile() { unlink(path); }
  ReadmeExampleFile(const ReadmeExampleFile&) = delete;
  ReadmeExampleFile& operator=(const ReadmeExampleFile&) = delete;

  const char* Path() const { return path; }

 private:
  char path[64] = "/tmp/nevrik-readme-example-XXXXXX";
};

std::string ReadmeExample() {
  static const ReadmeExampleFile file;
  return file.Path();
}

std::string CaseName(const ::testing::TestParamInfo<ScriptCase>& info) {
  return info.param.name;
}

class ScriptedRun : public ::testing::TestWithParam<ScriptCase> {
 protected:
  usbbus::EmulatedUsbBus bus;
};

TEST_P(ScriptedRun, GivesExactTranscriptExitCodeAndRequests) {
  const ScriptCase& run = GetParam();
  SimKeyFirmwareConfig firmware;
  firmware.firmwareMajor = run.firmwareMajor;
  firmware.firmwareMinor = run.firmwareMajor == 1 ? 5 : 0;
  if (run.soPin != nullptr) {
    firmware.soPin = std::vector<std::uint8_t>(run.soPin, run.soPin + std::strlen(run.soPin));
  }
  const auto key = std::make_shared<SimKey>(SimKeyUsbConfig{}, firmware);
  bus.Plug(key);

  const CapturedFile in;
  const CapturedFile out;
  const CapturedFile err;
  const std::string script = std::string("U=") + NEVRIK_UPDATER_PATH + "; I=" + NEVRIK_INFO_PATH +
                             "; R=" + ReadmeExample() + "; PATH=\"${U%/*}:$PATH\"; " + run.script;
  const int exitCode =
      bus.RunCommand({"/bin/sh", "-c", script},
                     {std::nullopt, fileno(out.File()), fileno(err.File()), fileno(in.File())});
  EXPECT_EQ(out.Text(), run.out);
  EXPECT_EQ(err.Text(), run.err);
  EXPECT_EQ(exitCode, run.exitCode);
  Commands received;
  for (const KeyRequestRecord& request : key->Firmware().Requests()) {
    received.push_back(request.command);
  }
  EXPECT_EQ(received, run.commands);
}

// A script that answers only the question: the end of its input gives no PIN, and an empty PIN
// is never sent, which would spend one of the key's tries.
INSTANTIATE_TEST_SUITE_P(
    PipedAnswers, ScriptedRun,
    ::testing::Values(
        ScriptCase{"PinMissingAtTheEndOfTheInput", "printf 'y\\n' | $U", "1234", 1,
                   AskedToUpdateFrom15 + PinPrompt + Canceled, "", 4, StatusRead},
        ScriptCase{"EmptyPinLine", "printf 'y\\n\\n' | $U", "1234", 1,
                   AskedToUpdateFrom15 + PinPrompt + Canceled, "", 4, StatusRead},
        ScriptCase{"LinesEndingInCarriageReturn", "printf 'y\\r\\n1234\\r\\n' | $U", "1234", 1,
                   AskedToUpdateFrom15 + PinPrompt + Updated, "", 0, WholeUpdate()},
        // A PIN cut short by the end of the input is still the key's to judge.
        ScriptCase{"PinCutShort",
                   "printf 'y\\n12' | $U",
                   "1234",
                   1,
                   AskedToUpdateFrom15 + PinPrompt + "[ERROR  ] Incorrect SO PIN.\n" + Canceled,
                   "",
                   4,
                   {CmdQuery, CmdQuery, CmdHandshake, CmdSetup, CmdCancelUpdate}}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Unattended, ScriptedRun,
    ::testing::Values(
        ScriptCase{"YesWithoutPin", "$U --yes", nullptr, 1, Answered + Updated, "", 0,
                   WholeUpdate()},
        ScriptCase{"YesDoesNotForce", "$U --yes", nullptr, 2,
                   Banner + "Current firmware is ver.2.0. No update is needed.\n", "", 1,
                   StatusRead},
        ScriptCase{"YesAndForce", "$U --yes --force", nullptr, 2,
                   Banner + "Force update is activated. ver.2.0 -> ver.2.0\n" + Caution + Question +
                       "y\n" + Updated,
                   "", 0, WholeUpdate()},
        ScriptCase{"YesWithThePinOnTheInput", "printf '1234\\r\\n' | $U --yes", "1234", 1,
                   Answered + PinPrompt + Updated, "", 0, WholeUpdate()},
        ScriptCase{"PinFromADescriptor",
                   "printf '1234\\n' | $U --yes --so-pin-fd=3 3<&0 </dev/null", "1234", 1,
                   Answered + PinPrompt + Updated, "", 0, WholeUpdate()},
        ScriptCase{"PinFromADescriptorWithCarriageReturn",
                   "printf '1234\\r\\nmore\\n' | $U --yes --so-pin-fd 3 3<&0 </dev/null", "1234", 1,
                   Answered + PinPrompt + Updated, "", 0, WholeUpdate()},
        ScriptCase{"EmptyPinFromADescriptor",
                   "printf '\\r\\n' | $U --yes --so-pin-fd=3 3<&0 </dev/null", "1234", 1,
                   Answered + PinPrompt + Canceled, "", 4, StatusRead},
        ScriptCase{"NoPinFromADescriptor", "$U --yes --so-pin-fd=3 3</dev/null", "1234", 1,
                   Answered + PinPrompt + Canceled, "", 4, StatusRead},
        // The confirmation from the input, the PIN from the descriptor.
        ScriptCase{"PinFromADescriptorAnswerFromTheInput",
                   "printf '1234\\n' | { printf 'y\\n' | $U --so-pin-fd=7; } 7<&0", "1234", 1,
                   AskedToUpdateFrom15 + PinPrompt + Updated, "", 0, WholeUpdate()}),
    CaseName);

// The README's example, run by bash with the PIN typed on its input: it ends with the updater's
// exit code, and a wrong PIN is not retried.
const Commands Inventory = {CmdQuery, CmdQuery};

Commands After(Commands first, const Commands& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

INSTANTIATE_TEST_SUITE_P(
    ReadmeExample, ScriptedRun,
    ::testing::Values(
        ScriptCase{"KeyWithPin", "printf '1234\\n' | bash $R", "1234", 1,
                   "\n" + Answered + PinPrompt + Updated, "", 0, After(Inventory, WholeUpdate())},
        ScriptCase{"WrongPin", "printf '0000\\n' | bash $R", "1234", 1,
                   "\n" + Answered + PinPrompt + "[ERROR  ] Incorrect SO PIN.\n" + Canceled, "", 4,
                   After(Inventory, {CmdQuery, CmdQuery, CmdHandshake, CmdSetup, CmdCancelUpdate})},
        ScriptCase{"NoPinTyped", "bash $R", "1234", 1, "\n" + Answered + PinPrompt + Canceled, "",
                   4, After(Inventory, StatusRead)},
        ScriptCase{"KeyWithoutPin", "bash $R", nullptr, 1, Answered + Updated, "", 0,
                   After(Inventory, WholeUpdate())},
        ScriptCase{"NoUpdateNeeded", "bash $R", nullptr, 2, "", "", 0, Inventory}),
    CaseName);

// Nothing happens after a command-line error: no banner, no request to the key.
INSTANTIATE_TEST_SUITE_P(
    CommandLineErrors, ScriptedRun,
    ::testing::Values(
        ScriptCase{"StrayArgument",
                   "$U /dev/bus/usb/001/009",
                   nullptr,
                   1,
                   "",
                   "unexpected argument -- /dev/bus/usb/001/009\n",
                   2,
                   {}},
        ScriptCase{"StrayArgumentBeforeHelp",
                   "$U extra -h",
                   nullptr,
                   1,
                   "",
                   "unexpected argument -- extra\n",
                   2,
                   {}},
        ScriptCase{"StrayArgumentAfterForce",
                   "$U -f extra",
                   nullptr,
                   1,
                   "",
                   "unexpected argument -- extra\n",
                   2,
                   {}},
        ScriptCase{"LoneDash", "$U - --yes", nullptr, 1, "", "unexpected argument -- -\n", 2, {}},
        ScriptCase{"AfterDoubleDash",
                   "$U --yes -- -h",
                   nullptr,
                   1,
                   "",
                   "unexpected argument -- -h\n",
                   2,
                   {}},
        ScriptCase{"InfoStrayArgument",
                   "$I --json extra",
                   nullptr,
                   1,
                   "",
                   "unexpected argument -- extra\n",
                   2,
                   {}},
        ScriptCase{"PinDescriptorNotOpen",
                   "$U --yes --so-pin-fd=9",
                   "1234",
                   1,
                   "",
                   "no SO PIN can be read from descriptor -- 9\n",
                   2,
                   {}},
        ScriptCase{"PinDescriptorNotANumber",
                   "$U --yes --so-pin-fd=3x 3</dev/null",
                   "1234",
                   1,
                   "",
                   "no SO PIN can be read from descriptor -- 3x\n",
                   2,
                   {}},
        ScriptCase{"PinDescriptorMissing",
                   "$U --yes --so-pin-fd",
                   "1234",
                   1,
                   "",
                   "option need an argument -- so-pin-fd\n",
                   2,
                   {}},
        // Help still comes first when it comes first; a lone "--" still runs the update.
        ScriptCase{"HelpBeforeAStrayArgument", "$U -h extra", nullptr, 1, Banner, "", 0, {}},
        ScriptCase{"DoubleDashAlone", "$U --yes --", nullptr, 1, Answered + Updated, "", 0,
                   WholeUpdate()}),
    CaseName);

}  // namespace
}  // namespace nevrik::test
