// nevrik-info's answers that need no key: options, and a damaged pack, which stops it before it
// looks for keys (the enumerator would fail the test if it were made).
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "info/info_program.h"
#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

struct InfoRun {
  ExitCode exitCode;
  std::string out;
  std::string err;
};

InfoRun RunInfoWith(std::vector<const wchar_t*> arguments, std::span<const std::uint8_t> pack) {
  test::CapturedFile out;
  test::CapturedFile err;
  UpdaterEnvironment environment;
  environment.streams = {stdin, out.File(), err.File()};
  environment.pack = FirmwarePack(pack);
  environment.makeEnumerator = []() -> std::unique_ptr<KvUsbEnumerator> {
    ADD_FAILURE() << "looked for keys";
    return nullptr;
  };
  arguments.insert(arguments.begin(), L"nevrik-info");
  const int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  const ExitCode exitCode = RunInfo(count, arguments.data(), environment);
  return {exitCode, out.Text(), err.Text()};
}

TEST(InfoRun, AnswersOptionsAndADamagedPackWithoutLookingForKeys) {
  std::vector<std::uint8_t> damaged(EmbeddedFirmwarePackData().begin(),
                                    EmbeddedFirmwarePackData().end());
  damaged.pop_back();
  const std::span<const std::uint8_t> good = EmbeddedFirmwarePackData();
  const std::string broken = "[ERROR  ] This updater is broken!\n";
  struct Case {
    std::vector<const wchar_t*> arguments;
    std::span<const std::uint8_t> pack;
    InfoRun expected;
  };
  const std::vector<Case> cases = {
      {{L"--vers"}, good, {ExitCode::ExitOk, "nevrik-info 2.0.0.111 (2a12b68e)\n", ""}},
      {{L"--json=yes"},
       good,
       {ExitCode::ExitBadOption, "", "option doesn't take an argument -- json=yes\n"}},
      {{L"-hx"}, good, {ExitCode::ExitOk, "usage: nevrik-info", ""}},
      {{L"--json", L"-x"}, good, {ExitCode::ExitBadOption, "", "unknown option -- x\n"}},
      {{L"extra", L"-h"}, good, {ExitCode::ExitBadOption, "", "unexpected argument -- extra\n"}},
      {{L"--json", L"-"}, good, {ExitCode::ExitBadOption, "", "unexpected argument -- -\n"}},
      {{L"--", L"-h"}, good, {ExitCode::ExitBadOption, "", "unexpected argument -- -h\n"}},
      {{L"-h", L"extra"}, good, {ExitCode::ExitOk, "usage: nevrik-info", ""}},
      {{L"--"}, damaged, {ExitCode::ExitBrokenUpdater, broken, ""}},
      {{}, damaged, {ExitCode::ExitBrokenUpdater, broken, ""}},
      {{L"--json"}, damaged, {ExitCode::ExitBrokenUpdater, "", broken}},
      {{L"--json", L"--verbose"},
       damaged,
       {ExitCode::ExitBrokenUpdater, "", "[VERBOSE] Firmware pack file is broken.\n" + broken}},
  };
  for (const Case& test : cases) {
    const InfoRun run = RunInfoWith(test.arguments, test.pack);
    EXPECT_EQ(run.exitCode, test.expected.exitCode) << test.expected.out << test.expected.err;
    // The help text is checked by its first words only.
    EXPECT_EQ(run.out.substr(0, test.expected.out.size()), test.expected.out);
    EXPECT_EQ(run.out.empty(), test.expected.out.empty());
    EXPECT_EQ(run.err, test.expected.err);
  }
}

// A failure no step expected (here: no memory while looking for keys) is neither success nor "no
// key".
TEST(InfoRun, EndsAnUnexpectedFailureWithItsOwnExitCode) {
  for (const bool json : {false, true}) {
    test::CapturedFile out;
    test::CapturedFile err;
    UpdaterEnvironment environment;
    environment.streams = {stdin, out.File(), err.File()};
    environment.makeEnumerator = []() -> std::unique_ptr<KvUsbEnumerator> {
      throw std::bad_alloc();
    };
    const wchar_t* arguments[] = {L"nevrik-info", json ? L"--json" : nullptr, nullptr};
    EXPECT_EQ(RunInfo(json ? 2 : 1, arguments, environment), ExitCode::ExitCanceled);
    const std::string failure = "[ERROR  ] Unexpected failure: std::bad_alloc\n";
    EXPECT_EQ(out.Text(), json ? "" : failure);
    EXPECT_EQ(err.Text(), json ? failure : "");
  }
}

}  // namespace
}  // namespace nevrik
