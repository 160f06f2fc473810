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

#include "app/firmware_pack.h"
#include "secure/digest.h"
#include "tests/support/run_program.h"

namespace nevrik::test {
namespace {

using Json = nlohmann::json;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string PackImageSha256() {
  const Sha256Digest digest = Sha256(FirmwarePack(EmbeddedFirmwarePackData()).Image());
  std::string hex;
  for (const std::uint8_t byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

// The events before the result, runs of one event shown once with their count: "progress*14".
std::string EventSummary(const std::vector<Json>& lines) {
  std::string summary;
  for (std::size_t i = 0; i + 1 < lines.size();) {
    const std::string event = lines[i]["event"];
    std::size_t run = 1;
    while (i + run + 1 < lines.size() && lines[i + run]["event"] == event) {
      ++run;
    }
    summary += (summary.empty() ? "" : ",") + event + (run > 1 ? "*" + std::to_string(run) : "");
    i += run;
  }
  return summary;
}

struct JsonCase {
  const char* name;
  std::vector<std::string> devices;  // nevrik-usbbus's options
  // For sh, in a folder of its own, standard output and error already in files: $U is the
  // updater with --json --yes, $J the file of its standard output.
  std::string script;
  int exitCode;
  const char* outcome;
  std::string message;
  bool keyNamed;               // the result names the simulated key at 001/002
  const char* firmwareBefore;  // null: none
  std::string events;
  const char* updater = NEVRIK_UPDATER_PATH;
};

void PrintTo(const JsonCase& run, std::ostream* stream) {
  *stream << run.name;
}

// A run of the script under nevrik-usbbus, in a folder of its own.
struct ScriptRun {
  int exitCode = -1;
  std::vector<Json> lines;  // the updater's standard output, each line parsed
  std::string err;          // the updater's standard error
};

ScriptRun RunScript(const std::vector<std::string>& devices, const std::string& script,
                    const std::string& updater = NEVRIK_UPDATER_PATH) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("nevrik-json-" + std::to_string(getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::create_directories(folder);
  std::vector<std::string> arguments = devices;
  const std::string prepare =
      "cd '" + folder.string() + "'; U='" + updater + " --json --yes'; J=out; exec >out 2>err; ";
  arguments.insert(arguments.end(), {"--", "/bin/sh", "-c", prepare + script});
  ScriptRun run;
  run.exitCode =
      RunProgram(NEVRIK_USBBUS_PATH, arguments, "", {"LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin"})
          .exitCode;
  std::istringstream out(ReadFile(folder / "out"));
  for (std::string line; std::getline(out, line);) {
    EXPECT_TRUE(Json::accept(line)) << line;
    run.lines.push_back(Json::parse(line, nullptr, false));
    EXPECT_TRUE(run.lines.back().contains("event")) << line;
  }
  run.err = ReadFile(folder / "err");
  std::filesystem::remove_all(folder);
  return run;
}

class JsonRecord : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonRecord, EndsWithTheExactResult) {
  const JsonCase& run = GetParam();
  const ScriptRun result = RunScript(run.devices, run.script, run.updater);
  EXPECT_EQ(result.exitCode, run.exitCode) << result.err;
  const std::vector<Json>& lines = result.lines;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(EventSummary(lines), run.events);

  const Json key = {
      {"serial", "NVKSIM0000000001"}, {"location", "1-1"}, {"path", "/dev/bus/usb/001/002"}};
  const bool updated = std::string(run.outcome) == "updated";
  const Json expected = {
      {"event", "result"},
      {"schema", 1},
      {"exit_code", result.exitCode},
      {"outcome", run.outcome},
      {"message", run.message},
      {"key", run.keyNamed ? key : Json()},
      {"firmware_before", run.firmwareBefore != nullptr ? Json(run.firmwareBefore) : Json()},
      {"firmware_after", updated ? Json("2.0") : Json()},
      {"image_sha256",
       std::string(run.updater) == NEVRIK_UPDATER_PATH ? Json(PackImageSha256()) : Json()}};
  EXPECT_EQ(lines.back(), expected);

  // The human transcript went to standard error, the line of the message with it.
  EXPECT_NE(result.err.find(run.message), std::string::npos) << result.err;

  // Progress counts up to the whole image.
  std::size_t written = 0;
  for (const Json& line : lines) {
    if (line["event"] == "progress") {
      EXPECT_GT(line["bytes_written"].get<std::size_t>(), written);
      written = line["bytes_written"];
      EXPECT_EQ(line["bytes_total"], FirmwarePack(EmbeddedFirmwarePackData()).ImageSize());
    }
  }
  if (updated) {
    EXPECT_EQ(written, FirmwarePack(EmbeddedFirmwarePackData()).ImageSize());
  }
}

const std::string Canceled = "Update canceled.";
const std::string Whole = "key,decision,progress*14,verified,deployed";

INSTANTIATE_TEST_SUITE_P(
    Endings, JsonRecord,
    ::testing::Values(
        JsonCase{"Updated",
                 {"--key=so-pin=1234"},
                 "printf '1234\\n' | $U",
                 0,
                 "updated",
                 "Updated successfully!",
                 true,
                 "1.5",
                 Whole},
        JsonCase{"UpdatedPinFd",
                 {"--key=so-pin=1234"},
                 "printf '1234\\r\\n' | $U --so-pin-fd=3 3<&0 </dev/null",
                 0,
                 "updated",
                 "Updated successfully!",
                 true,
                 "1.5",
                 Whole},
        JsonCase{"Forced",
                 {"--key=firmware=2.0"},
                 "$U --force",
                 0,
                 "updated",
                 "Updated successfully!",
                 true,
                 "2.0",
                 Whole},
        JsonCase{"NotNeeded",
                 {"--key=firmware=2.0"},
                 "$U",
                 1,
                 "not-needed",
                 "Current firmware is ver.2.0. No update is needed.",
                 true,
                 "2.0",
                 "key,decision"},
        JsonCase{"NoSoPin",
                 {"--key=so-pin=1234"},
                 "$U </dev/null",
                 4,
                 "no-so-pin",
                 Canceled,
                 true,
                 "1.5",
                 "key,decision"},
        JsonCase{"IncorrectSoPin",
                 {"--key=so-pin=1234"},
                 "printf '0000\\n' | $U",
                 4,
                 "incorrect-so-pin",
                 "Incorrect SO PIN.",
                 true,
                 "1.5",
                 "key,decision"},
        JsonCase{"SoPinLocked",
                 {"--key=so-pin=1234,so-pin-locked"},
                 "$U",
                 5,
                 "so-pin-locked",
                 "SO PIN has been locked. Restore your NEVRIK to the factory settings.",
                 true,
                 "1.5",
                 "key,decision"},
        // Stopped at the PIN prompt, once the decision is out: a PIN that never comes.
        JsonCase{"Interrupted",
                 {"--key=so-pin=1234"},
                 "mkfifo pin; $U --so-pin-fd=3 3<>pin & p=$!; "
                 "until grep -q decision $J; do sleep 0.05; done; kill -TERM $p; wait $p",
                 4,
                 "interrupted",
                 Canceled,
                 true,
                 "1.5",
                 "key,decision"},
        JsonCase{"WriteRefused",
                 {"--key=fault=write-refused"},
                 "$U",
                 4,
                 "failed",
                 "Write request failed: OperationDenied",
                 true,
                 "1.5",
                 "key,decision"},
        JsonCase{"PulledOut",
                 {"--key=unplug-after-writes=3"},
                 "$U",
                 4,
                 "failed",
                 "Write request failed: DeviceError",
                 true,
                 "1.5",
                 "key,decision,progress*2"},
        JsonCase{"DeployRefused",
                 {"--key=fault=deploy-refused"},
                 "$U",
                 4,
                 "deploy-unconfirmed",
                 "Failed to deploy firmware.",
                 true,
                 "1.5",
                 "key,decision,progress*14,verified"},
        JsonCase{"NoKey",
                 {},
                 "$U",
                 3,
                 "no-key",
                 "NEVRIK not found. Please attach one NEVRIK device to the PC.",
                 false,
                 nullptr,
                 ""},
        JsonCase{"SeveralKeys",
                 {"--key", "--key"},
                 "$U",
                 3,
                 "several-keys",
                 "Found 2 NEVRIK devices; only one should be attached.",
                 false,
                 nullptr,
                 ""},
        JsonCase{"InUse",
                 {"--key=claimed"},
                 "$U",
                 3,
                 "in-use",
                 "NEVRIK is being used by another app.",
                 true,
                 nullptr,
                 ""},
        JsonCase{"Unreachable",
                 {"--key=fault=sync-refused"},
                 "$U",
                 3,
                 "unreachable",
                 "Cannot access NEVRIK.",
                 true,
                 nullptr,
                 ""},
        JsonCase{"TestBuild",
                 {"--key=usb-id=20a0:4287"},
                 "$U",
                 6,
                 "test-build",
                 "This updater carries test data, not firmware: it updates only simulated NEVRIK "
                 "keys (USB 1209:0001).",
                 true,
                 nullptr,
                 ""},
        JsonCase{"BrokenPack",
                 {"--key"},
                 "$U",
                 6,
                 "broken-pack",
                 "This updater is broken!",
                 false,
                 nullptr,
                 "",
                 NEVRIK_UPDATER_BAD_MAGIC_PATH}),
    [](const ::testing::TestParamInfo<JsonCase>& info) { return info.param.name; });

// The serial is text that the key chose: the record carries it exactly, escaped the JSON way.
TEST(JsonRecordKey, CarriesAnySerialExactly) {
  const std::string serial = "\x1b]0;x\x07\"\\\u00e9";
  const ScriptRun run = RunScript({"--key=firmware=2.0,serial=" + serial}, "$U");
  EXPECT_EQ(run.exitCode, 1);
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0]["serial"], serial);
  EXPECT_EQ(run.lines[2]["key"]["serial"], serial);
}

// A run for scripts never prompts: without --yes it is a command-line error, with no record.
TEST(JsonRecordCommandLine, NeedsYes) {
  const ProgramResult result =
      RunProgram(NEVRIK_USBBUS_PATH, {"--key", "--", NEVRIK_UPDATER_PATH, "--json"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.out.find('{'), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("usbbus: nevrik-update exited with 2\n"), std::string::npos);
  EXPECT_EQ(result.err, "option --json needs --yes\n");
}

}  // namespace
}  // namespace nevrik::test
