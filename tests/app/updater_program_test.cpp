// The shipped program, run as a user runs it: arguments in, exact output and exit code out. The
// texts are the same on every platform; WrittenText gives the bytes a platform writes for them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/updater_texts.h"

namespace nevrik {
namespace {

using test::Banner;
using test::ProgramResult;
using test::RunProgram;
using test::WrittenText;

struct OptionCase {
  std::vector<std::string> arguments;
  std::string out;
  std::string err;
  int exitCode;
};

void PrintTo(const OptionCase& option, std::ostream* stream) {
  for (const std::string& argument : option.arguments) {
    *stream << '[' << argument << ']';
  }
}

class OptionsOfTheProgram : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionsOfTheProgram, GiveExactOutputAndExitCode) {
  const OptionCase& option = GetParam();
  const ProgramResult result = RunProgram(NEVRIK_UPDATER_PATH, option.arguments);
  EXPECT_EQ(result.out, WrittenText(option.out));
  EXPECT_EQ(result.err, WrittenText(option.err));
  EXPECT_EQ(result.exitCode, option.exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    BannerOnly, OptionsOfTheProgram,
    ::testing::Values(OptionCase{{"-h"}, Banner, "", 0}, OptionCase{{"--help"}, Banner, "", 0},
                      OptionCase{{"-v"}, Banner, "", 0}, OptionCase{{"--version"}, Banner, "", 0},
                      OptionCase{{"--vers"}, Banner, "", 0}, OptionCase{{"--he"}, Banner, "", 0},
                      OptionCase{{"--h"}, Banner, "", 0}, OptionCase{{"-fv"}, Banner, "", 0},
                      OptionCase{{"--f", "-h"}, Banner, "", 0},
                      OptionCase{{"--verbose", "-h"}, Banner, "", 0},
                      OptionCase{{"--verb", "--verbose", "--version"}, Banner, "", 0},
                      OptionCase{{"-h", "-x"}, Banner, "", 0},
                      OptionCase{{"-h", "extra"}, Banner, "", 0},
                      OptionCase{{"--yes", "--help"}, Banner, "", 0}));

INSTANTIATE_TEST_SUITE_P(
    Errors, OptionsOfTheProgram,
    ::testing::Values(OptionCase{{"--ver"}, "", "ambiguous option -- ver\n", 2},
                      OptionCase{{"--v"}, "", "ambiguous option -- v\n", 2},
                      OptionCase{{"-fx"}, "", "unknown option -- x\n", 2},
                      OptionCase{
                          {"--help=1"}, "", "option doesn't take an argument -- help=1\n", 2},
                      OptionCase{{"--Help"}, "", "unknown option -- Help\n", 2},
                      OptionCase{{"-x", "-h"}, "", "unknown option -- x\n", 2},
                      OptionCase{{"-H"}, "", "unknown option -- H\n", 2},
                      OptionCase{{"--=x"}, "", "ambiguous option -- =x\n", 2},
                      // Every argument must be an option, read left to right.
                      OptionCase{{"extra", "-h"}, "", "unexpected argument -- extra\n", 2},
                      OptionCase{{"-", "-h"}, "", "unexpected argument -- -\n", 2},
                      OptionCase{{"--", "-h"}, "", "unexpected argument -- -h\n", 2},
                      OptionCase{{"-f", "extra", "-h"}, "", "unexpected argument -- extra\n", 2},
                      OptionCase{{"--yes", "--", "--"}, "", "unexpected argument -- --\n", 2}));

// On this machine no key is attached, so every run that gets past the options ends in the search.
const std::string NoKey = Banner + test::NotFound + test::Canceled;

INSTANTIATE_TEST_SUITE_P(
    UpdateRuns, OptionsOfTheProgram,
    ::testing::Values(OptionCase{{}, NoKey, "", 3}, OptionCase{{"--"}, NoKey, "", 3},
                      OptionCase{{"--yes", "-f", "--"}, NoKey, "", 3},
                      OptionCase{{"--verb"}, NoKey, "", 3},
                      OptionCase{{"--verbose", "--verbose", "-f"}, NoKey, "", 3},
                      OptionCase{{"-" + std::string(300, 'f')}, NoKey, "", 3}));

struct BrokenPackCase {
  const char* name;
  const char* program;
  const char* reason;
};

std::string CaseName(const ::testing::TestParamInfo<BrokenPackCase>& info) {
  return info.param.name;
}

class BrokenUpdater : public ::testing::TestWithParam<BrokenPackCase> {};

TEST_P(BrokenUpdater, StopsAfterTheBannerWithItsReasonOnlyWhenVerbose) {
  const ProgramResult quiet = RunProgram(GetParam().program, {});
  EXPECT_EQ(quiet.out, WrittenText(Banner + "[ERROR  ] This updater is broken!\n"));
  EXPECT_EQ(quiet.err, "");
  EXPECT_EQ(quiet.exitCode, 6);

  const ProgramResult verbose = RunProgram(GetParam().program, {"--verbose", "-f"});
  EXPECT_EQ(verbose.out, WrittenText(Banner + "[VERBOSE] " + GetParam().reason +
                                     "[ERROR  ] This updater is broken!\n"));
  EXPECT_EQ(verbose.exitCode, 6);
}

INSTANTIATE_TEST_SUITE_P(
    DamagedPacks, BrokenUpdater,
    ::testing::Values(BrokenPackCase{"BadMagic", NEVRIK_UPDATER_BAD_MAGIC_PATH,
                                     "Firmware pack file is not valid pack format.\n"},
                      BrokenPackCase{"HeaderLength25", NEVRIK_UPDATER_BAD_HEADER_LENGTH_PATH,
                                     "Firmware pack file is broken.\n"},
                      BrokenPackCase{"ImageOneByteLonger", NEVRIK_UPDATER_IMAGE_TOO_LONG_PATH,
                                     "Firmware pack file is broken.\n"},
                      BrokenPackCase{"ImageOneByteShorter", NEVRIK_UPDATER_IMAGE_TOO_SHORT_PATH,
                                     "Firmware pack file is broken.\n"}),
    CaseName);

}  // namespace
}  // namespace nevrik
