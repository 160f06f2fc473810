// nevrik-info as scripts use it, on the emulated bus: every state a key can be in, the exact
// document and exit code, and the keys' own word that they received nothing but queries.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/bus_report.h"
#include "tests/support/program_under_test.h"
#include "tests/support/run_program.h"

namespace nevrik::test {
namespace {

const std::string Info = ProgramUnderTest(NEVRIK_INFO_PATH);
const std::string Updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);

using Json = nlohmann::ordered_json;

const std::string PackSha256 = "729f9e798f4c2ce6bf230182c55b02d198cd6f88966e4d7c48ed9c86e90b20b4";

// The N-th key plugged in alone on bus 1 sits at node N + 1 and port N, and has the N-th of the
// serial numbers the bus gives.
Json Key(const std::string& node, const std::string& access) {
  const int number = std::stoi(node) - 1;
  char serial[24];
  std::snprintf(serial, sizeof serial, "NVKSIM%010u", static_cast<unsigned>(number));
  return {{"path", "/dev/bus/usb/001/" + node},
          {"serial", serial},
          {"location", "1-" + std::to_string(number)},
          {"access", access}};
}

Json ReadKey(const std::string& node, const std::string& firmware, const std::string& soPin,
             const std::string& update) {
  Json key = Key(node, "ok");
  key["firmware"] = firmware;
  key["so_pin"] = soPin;
  key["update"] = update;
  return key;
}

Json Document(Json keys, Json uninspected) {
  return {{"schema", 2},
          {"updater", {{"version", "2.0.0.111"}}},
          {"pack",
           {{"firmware", "2.0"},
            {"image_size", 113736},
            {"image_sha256", PackSha256},
            {"test_data", true}}},
          {"keys", std::move(keys)},
          {"uninspected", std::move(uninspected)}};
}

Json Endpoints(int packet) {
  return Json::array({{{"address", "0x01"}, {"direction", "out"}, {"max_packet_size", packet}},
                      {{"address", "0x81"}, {"direction", "in"}, {"max_packet_size", packet}}});
}

struct InfoCase {
  const char* name;
  std::vector<std::string> devices;  // nevrik-usbbus options before "--"
  std::vector<std::string> options;  // nevrik-info's own
  Json keys;
  int exitCode;
  std::vector<std::string> requests;  // each simulated key's requests, in port order
  std::string err = "";
  Json uninspected = Json::array();
};

const std::string Queried = "2: Query 2";
const std::string NoPermissionWarning =
    "[WARN   ] 1 USB device could not be inspected for lack of permission. Run nevrik-info with "
    "sufficient rights, or grant access to the device node.\n";

TEST(InfoProgram, ReportsEveryStateAsOneDocumentAndOnlyEverQueriesTheKeys) {
  Json busyKey = Key("002", "ok");
  busyKey["error"] = "Busy";
  Json verboseKey = ReadKey("002", "1.5", "none", "available");
  verboseKey["usb"] = {{"vendor_id", "1209"},
                       {"product_id", "0001"},
                       {"interface", 0},
                       {"endpoints", Endpoints(512)},
                       {"interface_guid", "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}"}};
  const std::vector<InfoCase> cases = {
      {"a key at 1.5", {"--key"}, {}, {ReadKey("002", "1.5", "none", "available")}, 0, {Queried}},
      {"a key at 2.0 with a PIN",
       {"--key=firmware=2.0,so-pin=1234"},
       {},
       {ReadKey("002", "2.0", "set", "not-needed")},
       0,
       {Queried}},
      {"locked keys: below the pack's version and at it",
       {"--key=so-pin=1234,so-pin-locked", "--key=firmware=2.0,so-pin=1234,so-pin-locked"},
       {},
       {ReadKey("002", "1.5", "locked", "blocked"), ReadKey("003", "2.0", "locked", "not-needed")},
       0,
       {Queried, Queried}},
      {"two keys, one newer than the pack",
       {"--key", "--key=firmware=3.1"},
       {},
       {ReadKey("002", "1.5", "none", "available"), ReadKey("003", "3.1", "none", "not-needed")},
       0,
       {Queried, Queried}},
      {"decoys only", {"--other-device", "--no-msos-device"}, {}, Json::array(), 3, {}},
      {"a node without permission beside a key",
       {"--as-user=nobody", "--key", "--key=unreadable"},
       {},
       {ReadKey("002", "1.5", "none", "available")},
       0,
       {Queried, "0"},
       NoPermissionWarning,
       {{{"path", "/dev/bus/usb/001/003"}, {"reason", "no-permission"}}}},
      {"a node without permission alone",
       {"--as-user=nobody", "--key=unreadable"},
       {},
       Json::array(),
       3,
       {"0"},
       NoPermissionWarning,
       {{{"path", "/dev/bus/usb/001/002"}, {"reason", "no-permission"}}}},
      {"a key held elsewhere", {"--key=claimed"}, {}, {Key("002", "in-use")}, 3, {"0"}},
      {"a key that does not synchronise",
       {"--key=fault=sync-refused"},
       {},
       {Key("002", "unreachable")},
       3,
       {"0"}},
      {"a failing status query", {"--key=fault=status-busy"}, {}, {busyKey}, 7, {Queried}},
      {"no answer beats a failed status",
       {"--key=fault=status-busy", "--key=claimed"},
       {},
       {busyKey, Key("003", "in-use")},
       3,
       {Queried, "0"}},
      {"USB details", {"--key=packet=512"}, {"--verbose"}, {verboseKey}, 0, {Queried}},
  };
  for (const InfoCase& test : cases) {
    std::vector<std::string> arguments = test.devices;
    arguments.insert(arguments.end(), {"--", Info, "--json"});
    arguments.insert(arguments.end(), test.options.begin(), test.options.end());
    const ProgramResult result = RunProgram(NEVRIK_USBBUS_PATH, arguments);
    const std::string document = CommandOutput(result.out);
    ASSERT_TRUE(Json::accept(document)) << test.name << "\n" << result.out;
    EXPECT_EQ(Json::parse(document), Document(test.keys, test.uninspected)) << test.name << "\n"
                                                                            << document;
    EXPECT_EQ(document.back(), '\n') << test.name;
    EXPECT_EQ(result.err, test.err) << test.name;
    EXPECT_EQ(result.exitCode, test.exitCode) << test.name;
    EXPECT_EQ(RequestLines(result.out), test.requests) << test.name << "\n" << result.out;
  }
}

TEST(InfoProgram, SaysItInWordsForPeople) {
  const ProgramResult result = RunProgram(
      NEVRIK_USBBUS_PATH, {"--as-user=nobody", "--key", "--key=firmware=2.0,so-pin=1,so-pin-locked",
                           "--key=claimed", "--key=fault=sync-refused", "--key=fault=status-busy",
                           "--key=so-pin=1,so-pin-locked", "--key=unreadable", "--", Info});
  EXPECT_EQ(
      CommandOutput(result.out),
      "pack: firmware 2.0, image 113736 bytes, SHA-256 " + PackSha256 +
          " (test data, not firmware: it updates only simulated keys)\n"
          "/dev/bus/usb/001/002 (serial \"NVKSIM0000000001\", location 1-1): firmware 1.5, "
          "no SO PIN, update available\n"
          "/dev/bus/usb/001/003 (serial \"NVKSIM0000000002\", location 1-2): firmware 2.0, "
          "SO PIN locked, no update needed\n"
          "/dev/bus/usb/001/004 (serial \"NVKSIM0000000003\", location 1-3): held by another "
          "program\n"
          "/dev/bus/usb/001/005 (serial \"NVKSIM0000000004\", location 1-4): cannot access it\n"
          "/dev/bus/usb/001/006 (serial \"NVKSIM0000000005\", location 1-5): status not read: "
          "Busy\n"
          "/dev/bus/usb/001/007 (serial \"NVKSIM0000000006\", location 1-6): firmware 1.5, "
          "SO PIN locked, update blocked by the locked SO PIN\n"
          "/dev/bus/usb/001/008: no permission to inspect it\n" +
          NoPermissionWarning);
  EXPECT_EQ(result.exitCode, 3);
}

// A report that did not reach its reader whole is no success, nor "no key": /dev/full takes
// nothing, and says so only when the buffer is flushed.
TEST(InfoProgram, FailsWhenItsReportCannotBeWritten) {
  const std::string lost = "[ERROR  ] Standard output could not be written entirely.\n";
  for (const char* devices : {"--key", "--other-device"}) {
    for (const char* json : {"", " --json"}) {
      const ProgramResult result =
          RunProgram(NEVRIK_USBBUS_PATH,
                     {devices, "--", "/bin/sh", "-c", std::string(Info) + json + " >/dev/full"});
      EXPECT_EQ(result.exitCode, 4) << devices << json;
      EXPECT_EQ(result.err, lost) << devices << json;
    }
  }
}

// Each key's serial number as it announced it, decoded and escaped for people, and the port it is
// plugged into, in words and JSON alike.
TEST(InfoProgram, NamesEachKeyBySerialAndLocation) {
  struct Case {
    std::string setting;
    std::string words;  // after the path, up to the colon
    Json serial;
    std::string location;
  };
  const std::vector<Case> cases = {
      {"serial=RACK-07", "(serial \"RACK-07\", location 1-1)", "RACK-07", "1-1"},
      {"no-serial,bus=2,port=5", "(no serial, location 2-5)", nullptr, "2-5"},
      {"serial=\x1b[2J\"\\\xE2\x80\xAE,port=9",
       "(serial \"\\x1b[2J\\\"\\\\\\u202e\", location 1-9)", "\x1b[2J\"\\\xE2\x80\xAE", "1-9"},
      {"serial=Cl\xC3\xA9-\xF0\x9F\x94\x91",
       "(serial \"Cl\xC3\xA9-\xF0\x9F\x94\x91\", location 1-1)", "Cl\xC3\xA9-\xF0\x9F\x94\x91",
       "1-1"},
  };
  for (const Case& test : cases) {
    const std::string key = "--key=" + test.setting;
    const ProgramResult words = RunProgram(NEVRIK_USBBUS_PATH, {key, "--", Info});
    const std::string output = CommandOutput(words.out);
    const std::string keyLine = output.substr(output.find('\n') + 1);
    EXPECT_EQ(keyLine.substr(keyLine.find(' ') + 1),
              test.words + ": firmware 1.5, no SO PIN, update available\n")
        << test.setting;
    EXPECT_EQ(words.exitCode, 0) << test.setting;

    const ProgramResult json = RunProgram(NEVRIK_USBBUS_PATH, {key, "--", Info, "--json"});
    const std::string document = CommandOutput(json.out);
    ASSERT_TRUE(Json::accept(document)) << test.setting << "\n" << json.out;
    const Json listed = Json::parse(document)["keys"][0];
    EXPECT_EQ(listed["serial"], test.serial) << test.setting;
    EXPECT_EQ(listed["location"], test.location) << test.setting;
  }
}

// Listing leaves the key free: the updater, started right after, opens and updates it.
TEST(InfoProgram, ReleasesTheKeyForTheUpdater) {
  const ProgramResult result = RunProgram(
      NEVRIK_USBBUS_PATH,
      {"--key=so-pin=1234", "--", "/bin/sh", "-c", Info + " >/dev/null && exec " + Updater});
  EXPECT_NE(result.out.find("Updated successfully!\n"), std::string::npos) << result.out;
  EXPECT_EQ(RequestLines(result.out),
            std::vector<std::string>{
                "23: Query 4, Handshake 1, Setup 1, Write 14, GetHash 1, Deploy 1, Final 1"});
  EXPECT_EQ(result.exitCode, 0);
}

}  // namespace
}  // namespace nevrik::test
