// nevrik-update --json as scripts run it, against simulated keys on the emulated bus: every ending
// that a key can bring about gives a record whose lines all parse, whose last line is the result,
// and whose result tells the exit code, the outcome and the message exactly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program_under_test.h"
#include "tests/support/run_program.h"

namespace nevrik::test {
namespace {

using Json = nlohmann::json;

struct ScriptRun {
  int exitCode = -1;
  std::vector<Json> lines;  // the updater's standard output, line by line
  std::string err;          // its standard error
};

// Runs the script with sh under nevrik-usbbus with the devices given, in a folder of its own:
// $U is the updater with --json --yes, $J the file of its standard output.
ScriptRun RunScript(std::vector<std::string> arguments, const std::string& script,
                    const std::string& updater = NEVRIK_UPDATER_PATH) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("nevrik-json-" + std::to_string(getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(folder);
  const std::string prepare = "cd '" + folder.string() + "'; U='" + ProgramUnderTest(updater) +
                              " --json --yes'; J=out; exec >out 2>err; ";
  arguments.insert(arguments.end(), {"--", "/bin/sh", "-c", prepare + script});
  ScriptRun run;
  run.exitCode =
      RunProgram(NEVRIK_USBBUS_PATH, arguments, "", {"LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin"})
          .exitCode;
  std::ifstream out(folder / "out");
  for (std::string line; std::getline(out, line);) {
    EXPECT_TRUE(Json::accept(line)) << line;
    run.lines.push_back(Json::parse(line, nullptr, false));
    EXPECT_TRUE(run.lines.back().contains("event")) << line;
  }
  std::ostringstream err;
  err << std::ifstream(folder / "err").rdbuf();
  run.err = err.str();
  std::filesystem::remove_all(folder);
  return run;
}

struct JsonCase {
  const char* name;
  std::vector<std::string> devices;  // nevrik-usbbus's options
  std::string script;
  int exitCode;
  const char* outcome;
  std::string message;
  const char* updater = NEVRIK_UPDATER_PATH;
};

void PrintTo(const JsonCase& run, std::ostream* stream) {
  *stream << run.name;
}

class JsonRecord : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonRecord, EndsWithTheExactResult) {
  const JsonCase& run = GetParam();
  const ScriptRun result = RunScript(run.devices, run.script, run.updater);
  EXPECT_EQ(result.exitCode, run.exitCode) << result.err;
  ASSERT_FALSE(result.lines.empty());
  const Json& last = result.lines.back();
  EXPECT_EQ(last["event"], "result");
  EXPECT_EQ(last["schema"], 1);
  EXPECT_EQ(last["exit_code"], result.exitCode);
  EXPECT_EQ(last["outcome"], run.outcome);
  EXPECT_EQ(last["message"], run.message);
  const bool updated = run.exitCode == 0;
  EXPECT_EQ(last["firmware_after"], updated ? Json("2.0") : Json()) << last;
  EXPECT_EQ(result.lines.size() > 1, last["firmware_before"].is_string()) << last;
  if (!last["key"].is_null()) {
    EXPECT_EQ(last["key"]["path"], "/dev/bus/usb/001/002");
  }
  if (updated) {  // progress up to the whole image, then its hash
    const Json& written = result.lines[result.lines.size() - 4];
    EXPECT_EQ(written["bytes_written"], written["bytes_total"]) << written;
    EXPECT_EQ(result.lines[result.lines.size() - 3]["image_sha256"], last["image_sha256"]);
  }
  // The human transcript went to standard error, the line of the message with it.
  EXPECT_NE(result.err.find(run.message), std::string::npos) << result.err;
}

const std::string Canceled = "Update canceled.";
const std::string Updated = "Updated successfully!";

INSTANTIATE_TEST_SUITE_P(
    Endings, JsonRecord,
    ::testing::Values(
        JsonCase{"Updated", {"--key=so-pin=1234"}, "printf '1234\\n' | $U", 0, "updated", Updated},
        JsonCase{"Forced", {"--key=firmware=2.0"}, "$U --force", 0, "updated", Updated},
        JsonCase{"NotNeeded",
                 {"--key=firmware=2.0"},
                 "$U",
                 1,
                 "not-needed",
                 "Current firmware is ver.2.0. No update is needed."},
        JsonCase{"NoSoPin", {"--key=so-pin=1234"}, "$U </dev/null", 4, "no-so-pin", Canceled},
        JsonCase{"IncorrectSoPin",
                 {"--key=so-pin=1234"},
                 "printf '0000\\n' | $U",
                 4,
                 "incorrect-so-pin",
                 "Incorrect SO PIN."},
        JsonCase{"SoPinLocked",
                 {"--key=so-pin=1234,so-pin-locked"},
                 "$U",
                 5,
                 "so-pin-locked",
                 "SO PIN has been locked. Restore your NEVRIK to the factory settings."},
        // Stopped at the PIN prompt, once the decision is out: a PIN that never comes.
        JsonCase{"Interrupted",
                 {"--key=so-pin=1234"},
                 "mkfifo pin; $U --so-pin-fd=3 3<>pin & p=$!; "
                 "until grep -q decision $J; do sleep 0.05; done; kill -TERM $p; wait $p",
                 4,
                 "interrupted",
                 Canceled},
        JsonCase{"PulledOut",
                 {"--key=unplug-after-writes=3"},
                 "$U",
                 4,
                 "failed",
                 "Write request failed: DeviceError"},
        JsonCase{"DeployRefused",
                 {"--key=fault=deploy-refused"},
                 "$U",
                 4,
                 "deploy-unconfirmed",
                 "Failed to deploy firmware."},
        JsonCase{"NoKey",
                 {},
                 "$U",
                 3,
                 "no-key",
                 "NEVRIK not found. Please attach one NEVRIK device to the PC."},
        JsonCase{"SeveralKeys",
                 {"--key", "--key"},
                 "$U",
                 3,
                 "several-keys",
                 "Found 2 NEVRIK devices; only one should be attached."},
        JsonCase{
            "InUse", {"--key=claimed"}, "$U", 3, "in-use", "NEVRIK is being used by another app."},
        JsonCase{"Unreachable",
                 {"--key=fault=sync-refused"},
                 "$U",
                 3,
                 "unreachable",
                 "Cannot access NEVRIK."},
        JsonCase{"NoMatch",
                 {"--key"},
                 "$U --device=NOPE",
                 3,
                 "no-match",
                 "No NEVRIK matches --device=NOPE."},
        JsonCase{"StatusFailed",
                 {"--key=fault=status-busy"},
                 "$U",
                 7,
                 "status-failed",
                 "Failed to get device status: Busy"},
        JsonCase{"TestBuild",
                 {"--key=usb-id=20a0:4287"},
                 "$U",
                 6,
                 "test-build",
                 "This updater carries test data, not firmware: it updates only simulated NEVRIK "
                 "keys (USB 1209:0001)."},
        JsonCase{"BrokenPack",
                 {"--key"},
                 "$U",
                 6,
                 "broken-pack",
                 "This updater is broken!",
                 NEVRIK_UPDATER_BAD_MAGIC_PATH}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return info.param.name; });

// The serial is text that the key chose: the record carries it exactly, escaped the JSON way.
TEST(JsonRecordKey, CarriesAnySerialExactly) {
  const std::string serial = "\x1b]0;x\x07\"\\\u00e9";
  const ScriptRun run = RunScript({"--key=firmware=2.0,serial=" + serial}, "$U");
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0]["serial"], serial);
  EXPECT_EQ(run.lines[2]["key"]["serial"], serial);
}

// A run for scripts never prompts: without --yes it is a command-line error, with no record.
TEST(JsonRecordCommandLine, NeedsYes) {
  const ProgramResult result = RunProgram(
      NEVRIK_USBBUS_PATH, {"--key", "--", ProgramUnderTest(NEVRIK_UPDATER_PATH), "--json"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out.find('{'), std::string::npos) << result.out;
  EXPECT_EQ(result.err, "option --json needs --yes\n");
}

}  // namespace
}  // namespace nevrik::test
