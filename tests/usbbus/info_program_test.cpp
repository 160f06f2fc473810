// nevrik-info as scripts use it, on the emulated bus: every state a key can be in, the exact
// document and exit code, and the keys' own word that they received nothing but queries.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/program_under_test.h"
#include "tests/support/run_program.h"

namespace nevrik::test {
namespace {

const std::string Info = ProgramUnderTest(NEVRIK_INFO_PATH);
const std::string Updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);

using Json = nlohmann::ordered_json;

const std::string PackSha256 = "729f9e798f4c2ce6bf230182c55b02d198cd6f88966e4d7c48ed9c86e90b20b4";

// What nevrik-info wrote: the runner's own lines ("usbbus: ...") stand before and after it.
std::string CommandOutput(const std::string& out) {
  const std::size_t lastPlug = out.rfind("usbbus: plugged in at ");
  const std::size_t start = lastPlug == std::string::npos ? 0 : out.find('\n', lastPlug) + 1;
  return out.substr(start, out.find("usbbus: nevrik-info exited with") - start);
}

// The "requests" line of every simulated key's report.
std::vector<std::string> RequestLines(const std::string& out) {
  std::vector<std::string> lines;
  const std::regex line("  requests       ([^\n]*)\n");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it) {
    lines.push_back((*it)[1].str());
  }
  return lines;
}

Json Key(const std::string& node, const std::string& access) {
  return {{"path", "/dev/bus/usb/001/" + node}, {"access", access}};
}

Json ReadKey(const std::string& node, const std::string& firmware, const std::string& soPin,
             const std::string& update) {
  Json key = Key(node, "ok");
  key["firmware"] = firmware;
  key["so_pin"] = soPin;
  key["update"] = update;
  return key;
}

Json Document(Json keys) {
  return {{"schema", 1},
          {"updater", {{"version", "2.0.0.111"}}},
          {"pack", {{"firmware", "2.0"}, {"image_size", 113736}, {"image_sha256", PackSha256}}},
          {"keys", std::move(keys)}};
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
      {"a locked key",
       {"--key=so-pin=1234,so-pin-locked"},
       {},
       {ReadKey("002", "1.5", "locked", "available")},
       0,
       {Queried}},
      {"two keys, one newer than the pack",
       {"--key", "--key=firmware=3.1"},
       {},
       {ReadKey("002", "1.5", "none", "available"), ReadKey("003", "3.1", "none", "not-needed")},
       0,
       {Queried, Queried}},
      {"decoys only", {"--other-device", "--no-msos-device"}, {}, Json::array(), 3, {}},
      {"a node without permission",
       {"--as-user=nobody", "--key", "--key=unreadable"},
       {},
       {ReadKey("002", "1.5", "none", "available"), Key("003", "no-permission")},
       3,
       {Queried, "0"},
       NoPermissionWarning},
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
    EXPECT_EQ(Json::parse(document), Document(test.keys)) << test.name << "\n" << document;
    EXPECT_EQ(document.back(), '\n') << test.name;
    EXPECT_EQ(result.err, test.err) << test.name;
    EXPECT_EQ(result.exitCode, test.exitCode) << test.name;
    EXPECT_EQ(RequestLines(result.out), test.requests) << test.name << "\n" << result.out;
  }
}

TEST(InfoProgram, SaysItInWordsForPeople) {
  const ProgramResult result = RunProgram(
      NEVRIK_USBBUS_PATH, {"--key", "--key=firmware=2.0,so-pin=1,so-pin-locked", "--key=claimed",
                           "--key=fault=sync-refused", "--key=fault=status-busy", "--", Info});
  EXPECT_EQ(CommandOutput(result.out),
            "pack: firmware 2.0, image 113736 bytes, SHA-256 " + PackSha256 +
                "\n"
                "/dev/bus/usb/001/002: firmware 1.5, no SO PIN, update available\n"
                "/dev/bus/usb/001/003: firmware 2.0, SO PIN locked, no update needed\n"
                "/dev/bus/usb/001/004: held by another program\n"
                "/dev/bus/usb/001/005: cannot access it\n"
                "/dev/bus/usb/001/006: status not read: Busy\n");
  EXPECT_EQ(result.exitCode, 3);
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
