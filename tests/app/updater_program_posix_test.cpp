// The shipped program's echo of option letters outside ASCII, in the user's UTF-8 locale.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/run_program.h"

namespace nevrik {
namespace {

using test::ProgramResult;
using test::RunProgram;

struct EchoCase {
  std::string argument;
  std::string err;
};

void PrintTo(const EchoCase& echo, std::ostream* stream) {
  *stream << '[' << echo.argument << ']';
}

class NonAsciiOption : public ::testing::TestWithParam<EchoCase> {};

TEST_P(NonAsciiOption, IsEchoedBackAsTyped) {
  const ProgramResult result = RunProgram(NEVRIK_UPDATER_PATH, {GetParam().argument});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, GetParam().err);
  EXPECT_EQ(result.exitCode, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Letters, NonAsciiOption,
    ::testing::Values(EchoCase{"-\xC3\xA9", "unknown option -- \xC3\xA9\n"},
                      EchoCase{"-f\xE2\x82\xAC", "unknown option -- \xE2\x82\xAC\n"},
                      EchoCase{"--verb\xC3\xB6se", "unknown option -- verb\xC3\xB6se\n"},
                      // Bytes that are not valid in the user's encoding.
                      EchoCase{"-\xFF", "unknown option -- \xEF\xBF\xBD\n"}));

}  // namespace
}  // namespace nevrik
