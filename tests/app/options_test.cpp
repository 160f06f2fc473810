#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

class OptionParserTest : public ::testing::Test {
 protected:
  OptionParserTest() { parser.errorStream = err.File(); }

  CapturedFile err;
  OptionParser parser;
};

TEST_F(OptionParserTest, ClusterIsReadLetterByLetterThenMovesOn) {
  const wchar_t* cluster = L"-fhv";
  EXPECT_EQ(ParseShortOption(parser, cluster, nullptr), 'f');
  EXPECT_EQ(parser.nextIndex, 1);
  EXPECT_EQ(ParseShortOption(parser, cluster, nullptr), 'h');
  EXPECT_EQ(ParseShortOption(parser, cluster, nullptr), 'v');
  EXPECT_EQ(parser.nextIndex, 2);
  EXPECT_EQ(parser.clusterPosition, 0u);
  EXPECT_EQ(err.Text(), "");
}

TEST_F(OptionParserTest, NonOptionsEndTheOptions) {
  EXPECT_EQ(ParseShortOption(parser, L"extra", nullptr), NoMoreOptions);
  EXPECT_EQ(ParseShortOption(parser, L"-", nullptr), NoMoreOptions);
  EXPECT_EQ(ParseShortOption(parser, nullptr, nullptr), NoMoreOptions);
  EXPECT_EQ(parser.nextIndex, 1);
}

TEST_F(OptionParserTest, ColonIsNeverAnOptionLetter) {
  EXPECT_EQ(ParseShortOption(parser, L"-:", nullptr, L"a:b"), OptionError);
  EXPECT_EQ(err.Text(), "unknown option -- :\n");
}

// A cluster longer than a byte can count must not start over at its first letter.
TEST_F(OptionParserTest, VeryLongClusterEnds) {
  const std::wstring cluster = L"-" + std::wstring(300, L'f');
  int letters = 0;
  while (parser.nextIndex == 1 && letters < 1000) {
    ASSERT_EQ(ParseShortOption(parser, cluster.c_str(), nullptr), 'f');
    ++letters;
  }
  EXPECT_EQ(letters, 300);
}

// The table's options take no argument; these cover the parser's rules for those that do.
TEST_F(OptionParserTest, ShortOptionArgumentsComeFromTheClusterOrTheNextArgument) {
  const wchar_t* withArguments = L"a:b::";
  EXPECT_EQ(ParseShortOption(parser, L"-avalue", nullptr, withArguments), 'a');
  EXPECT_EQ(parser.nextIndex, 2);
  EXPECT_EQ(ParseShortOption(parser, L"-a", L"value", withArguments), 'a');
  EXPECT_EQ(parser.nextIndex, 4);
  EXPECT_EQ(ParseShortOption(parser, L"-b", nullptr, withArguments), 'b');
  EXPECT_EQ(parser.nextIndex, 5);
  EXPECT_EQ(ParseShortOption(parser, L"-a", nullptr, withArguments), OptionError);
  EXPECT_EQ(err.Text(), "option -a need an argument.\n");
}

TEST_F(OptionParserTest, LongOptionArgumentsComeFromTheValueOrTheNextArgument) {
  const LongOption table[] = {{L"required", ArgumentKind::Required, 1},
                              {L"optional", ArgumentKind::Optional, 2},
                              {nullptr, ArgumentKind::None, 0}};
  EXPECT_EQ(ParseLongOption(parser, L"req=x", nullptr, table, true), 1);
  EXPECT_EQ(parser.nextIndex, 2);
  EXPECT_EQ(ParseLongOption(parser, L"required", L"x", table, true), 1);
  EXPECT_EQ(parser.nextIndex, 4);
  EXPECT_EQ(ParseLongOption(parser, L"opt", nullptr, table, true), 2);
  EXPECT_EQ(parser.nextIndex, 5);
  EXPECT_EQ(ParseLongOption(parser, L"required", nullptr, table, true), OptionError);
  EXPECT_EQ(err.Text(), "option need an argument -- required\n");
}

TEST_F(OptionParserTest, LongOptionErrorsAreSilentWhenNotReported) {
  EXPECT_EQ(ParseLongOption(parser, L"ver", nullptr, LongOptions, false), OptionError);
  EXPECT_EQ(ParseLongOption(parser, L"nope", nullptr, LongOptions, false), OptionError);
  EXPECT_EQ(ParseLongOption(parser, L"help=1", nullptr, LongOptions, false), OptionError);
  EXPECT_EQ(err.Text(), "");
  EXPECT_EQ(parser.nextIndex, 1);
}

TEST_F(OptionParserTest, AnExactNameGetsNoPreferenceOverALongerOne) {
  const LongOption table[] = {{L"verb", ArgumentKind::None, 1},
                              {L"verbose", ArgumentKind::None, 2},
                              {nullptr, ArgumentKind::None, 0}};
  EXPECT_EQ(ParseLongOption(parser, L"verb", nullptr, table, true), OptionError);
  EXPECT_EQ(ParseLongOption(parser, L"verbo", nullptr, table, true), 2);
  EXPECT_EQ(err.Text(), "ambiguous option -- verb\n");
}

struct CommandLineCase {
  std::vector<const wchar_t*> arguments;  // after the program name
  std::vector<int> options;               // what NextOption gives, up to its end or an error
  std::string err;
};

class NextOptionTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(NextOptionTest, TakesOnlyOptions) {
  CapturedFile err;
  OptionParser parser;
  parser.errorStream = err.File();
  std::vector<const wchar_t*> arguments{L"nevrik-update"};
  arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  std::vector<int> options;
  for (int option = 0; option != NoMoreOptions && option != OptionError && options.size() < 10;) {
    option = NextOption(parser, static_cast<int>(arguments.size()), arguments.data(), LongOptions,
                        ShortOptions);
    options.push_back(option);
  }
  EXPECT_EQ(options, GetParam().options);
  EXPECT_EQ(err.Text(), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, NextOptionTest,
    ::testing::Values(
        CommandLineCase{{L"-f", L"--"}, {'f', NoMoreOptions}, ""},
        CommandLineCase{{L"extra"}, {OptionError}, "unexpected argument -- extra\n"},
        CommandLineCase{{L"-f", L"-", L"-h"}, {'f', OptionError}, "unexpected argument -- -\n"},
        CommandLineCase{{L"--", L"--"}, {OptionError}, "unexpected argument -- --\n"},
        CommandLineCase{{L"--so-pin-fd", L"3", L"4"},
                        {OptionSoPinFd, OptionError},
                        "unexpected argument -- 4\n"},
        CommandLineCase{
            {L"--so-pin-fd", L"-3"}, {OptionError}, "option need an argument -- so-pin-fd\n"}));

TEST_F(OptionParserTest, AnOptionsArgumentIsHandedOver) {
  EXPECT_EQ(ParseLongOption(parser, L"so=7", nullptr, LongOptions, true), OptionSoPinFd);
  EXPECT_STREQ(parser.optionArgument, L"7");
  EXPECT_EQ(ParseLongOption(parser, L"so-pin-fd", L"8", LongOptions, true), OptionSoPinFd);
  EXPECT_STREQ(parser.optionArgument, L"8");
  EXPECT_EQ(ParseLongOption(parser, L"yes", L"9", LongOptions, true), OptionYes);
  EXPECT_EQ(parser.optionArgument, nullptr);
}

}  // namespace
}  // namespace nevrik
