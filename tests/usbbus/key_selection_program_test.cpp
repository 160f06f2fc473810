// --device on the emulated bus: the updater and nevrik-info act on the one key named by its
// serial number, location or path, refuse a name that fits none or several, and leave every
// other key without a single request.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/bus_report.h"
#include "tests/support/program_under_test.h"
#include "tests/support/run_program.h"
#include "tests/support/updater_texts.h"

namespace nevrik::test {
namespace {

const std::string Updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);
const std::string Info = ProgramUnderTest(NEVRIK_INFO_PATH);

using Json = nlohmann::json;

const std::string Updated =
    "Writing firmware .............. done!\nVerifying firmware .. done!\nUpdated successfully!\n";
const std::string Update =
    "21: Query 2, Handshake 1, Setup 1, Write 14, GetHash 1, Deploy 1, Final 1";
const std::string Query = "2: Query 2";

// Plugged in as: /dev/bus/usb/001/002 at 1-1, /dev/bus/usb/002/002 at 2-4, /dev/bus/usb/001/003
// at 1-2 (a serial number with ESC in it), and in the cases that add it a second "ALPHA" at
// /dev/bus/usb/001/004, 1-3.
const std::vector<std::string> Rack = {"--key=serial=ALPHA", "--key=serial=BETA,bus=2,port=4",
                                       "--key=serial=E\x1b"
                                       "F"};

struct SelectionCase {
  const char* name;
  bool duplicate;        // a second key announcing ALPHA
  std::string selector;  // as given to --device
  int exitCode;
  std::vector<std::string> chosen;  // the paths of the keys matched, in plugging order
  std::string warning;              // the WARN line of a refusal; empty when one key matched
};

TEST(KeySelectionProgram, ActsOnTheOneKeyNamedAndSendsNothingToTheOthers) {
  const std::vector<SelectionCase> cases = {
      {"serial", false, "BETA", 0, {"/dev/bus/usb/002/002"}, ""},
      {"location", false, "1-2", 0, {"/dev/bus/usb/001/003"}, ""},
      {"path", false, "/dev/bus/usb/001/002", 0, {"/dev/bus/usb/001/002"}, ""},
      {"serial as nevrik-info escapes it", false, "E\\x1bF", 0, {"/dev/bus/usb/001/003"}, ""},
      {"serial with its control character",
       false,
       "E\x1b"
       "F",
       0,
       {"/dev/bus/usb/001/003"},
       ""},
      {"serial in another case",
       false,
       "beta",
       3,
       {},
       "[WARN   ] No NEVRIK matches --device=beta.\n"},
      {"a serial's prefix", false, "ALPH", 3, {}, "[WARN   ] No NEVRIK matches --device=ALPH.\n"},
      {"a control character in what matches none",
       false,
       "\x1b[2J",
       3,
       {},
       "[WARN   ] No NEVRIK matches --device=\\x1b[2J.\n"},
      {"location of the other ALPHA", true, "1-3", 0, {"/dev/bus/usb/001/004"}, ""},
      {"a duplicated serial",
       true,
       "ALPHA",
       3,
       {"/dev/bus/usb/001/002", "/dev/bus/usb/001/004"},
       "[WARN   ] Found 2 NEVRIK devices matching --device=ALPHA; only one should match.\n"},
  };
  for (const SelectionCase& test : cases) {
    std::vector<std::string> devices = Rack;
    if (test.duplicate) {
      devices.push_back("--key=serial=ALPHA");
    }
    const std::vector<std::string> paths = {"/dev/bus/usb/001/002", "/dev/bus/usb/002/002",
                                            "/dev/bus/usb/001/003", "/dev/bus/usb/001/004"};
    const bool one = test.chosen.size() == 1;
    std::vector<std::string> updaterRequests;
    std::vector<std::string> infoRequests;
    Json infoPaths = Json::array();
    for (std::size_t k = 0; k < devices.size(); ++k) {
      const bool chosen =
          std::find(test.chosen.begin(), test.chosen.end(), paths[k]) != test.chosen.end();
      updaterRequests.push_back(chosen && one ? Update : "0");
      infoRequests.push_back(chosen ? Query : "0");
      if (chosen) {
        infoPaths.push_back(paths[k]);
      }
    }

    std::vector<std::string> arguments = devices;
    arguments.insert(arguments.end(), {"--", Updater, "--device", test.selector});
    const ProgramResult update = RunProgram(NEVRIK_USBBUS_PATH, arguments);
    EXPECT_EQ(CommandOutput(update.out),
              one ? AskedToUpdateFrom15 + "y\n" + Updated : Banner + test.warning + Canceled)
        << test.name;
    EXPECT_EQ(update.exitCode, test.exitCode) << test.name;
    EXPECT_EQ(RequestLines(update.out), updaterRequests) << test.name << "\n" << update.out;

    arguments = devices;
    arguments.insert(arguments.end(), {"--", Info, "--json", "--device=" + test.selector});
    const ProgramResult info = RunProgram(NEVRIK_USBBUS_PATH, arguments);
    const std::string document = CommandOutput(info.out);
    ASSERT_TRUE(Json::accept(document)) << test.name << "\n" << info.out;
    Json listed = Json::array();
    const Json parsed = Json::parse(document);
    for (const Json& key : parsed["keys"]) {
      listed.push_back(key["path"]);
    }
    EXPECT_EQ(listed, infoPaths) << test.name;
    EXPECT_EQ(info.err, test.warning) << test.name;
    EXPECT_EQ(info.exitCode, test.exitCode) << test.name;
    EXPECT_EQ(RequestLines(info.out), infoRequests) << test.name << "\n" << info.out;
  }
}

// With --verbose the updater names every key found and every key the selector matched; in words,
// nevrik-info says that none matched instead of that none was found.
TEST(KeySelectionProgram, NamesTheKeysFoundAndMatched) {
  const ProgramResult update = RunProgram(
      NEVRIK_USBBUS_PATH, {"--key=serial=ALPHA", "--key=serial=BETA", "--key=serial=ALPHA", "--",
                           Updater, "--verbose", "--device=ALPHA"});
  EXPECT_EQ(
      CommandOutput(update.out),
      Banner +
          "[VERBOSE] Found NEVRIK /dev/bus/usb/001/002: serial \"ALPHA\", location 1-1, "
          "USB 1209:0001.\n"
          "[VERBOSE] Found NEVRIK /dev/bus/usb/001/003: serial \"BETA\", location 1-2, "
          "USB 1209:0001.\n"
          "[VERBOSE] Found NEVRIK /dev/bus/usb/001/004: serial \"ALPHA\", location 1-3, "
          "USB 1209:0001.\n"
          "[VERBOSE] NEVRIK /dev/bus/usb/001/002 matches --device=ALPHA.\n"
          "[VERBOSE] NEVRIK /dev/bus/usb/001/004 matches --device=ALPHA.\n"
          "[WARN   ] Found 2 NEVRIK devices matching --device=ALPHA; only one should match.\n" +
          Canceled);
  EXPECT_EQ(update.exitCode, 3);

  const ProgramResult info =
      RunProgram(NEVRIK_USBBUS_PATH, {"--key", "--", Info, "--device", "NVKSIM0000000009"});
  const std::string output = CommandOutput(info.out);
  EXPECT_EQ(output.substr(output.find('\n') + 1),
            "[WARN   ] No NEVRIK matches --device=NVKSIM0000000009.\n");
  EXPECT_EQ(info.exitCode, 3);
  EXPECT_EQ(RequestLines(info.out), std::vector<std::string>{"0"});
}

}  // namespace
}  // namespace nevrik::test
