#include "app/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

class LogTest : public ::testing::Test {
 protected:
  LogTest() : saved(logSettings) {
    logSettings = LogSettings{};
    logSettings.standardOutput = out.File();
    logSettings.logStream = out.File();
  }
  ~LogTest() override { logSettings = saved; }

  LogSettings saved;
  CapturedFile out;
};

TEST_F(LogTest, WritesEachLevelWithItsPrefixAndOneBlank) {
  logSettings.logLevel = static_cast<int>(LogLevel::Verbose);
  Log(LogLevel::Error, "e %d\n", 1);
  Log(LogLevel::Warn, "w %s\n", "two");
  Log(LogLevel::Info, "i\n");
  Log(LogLevel::Verbose, "v %zu\n", std::size_t{4});
  EXPECT_EQ(out.Text(), "[ERROR  ] e 1\n[WARN   ] w two\n[INFO   ] i\n[VERBOSE] v 4\n");
}

TEST_F(LogTest, WritesOnlyLevelsFromOneUpToTheThreshold) {
  logSettings.logLevel = static_cast<int>(LogLevel::Info);
  Log(LogLevel::Verbose, "hidden\n");
  Log(LogLevel::None, "never\n");
  Log(static_cast<LogLevel>(5), "beyond\n");
  Log(static_cast<LogLevel>(-1), "below\n");
  Log(LogLevel::Warn, "shown\n");
  EXPECT_EQ(out.Text(), "[WARN   ] shown\n");

  logSettings.logLevel = 99;
  Log(LogLevel::None, "still never\n");
  EXPECT_EQ(out.Text(), "[WARN   ] shown\n");
}

TEST_F(LogTest, ColourWrapsTheWholeLineIncludingItsNewline) {
  logSettings.logLevel = static_cast<int>(LogLevel::Verbose);
  logSettings.colorEnabled = true;
  Log(LogLevel::Error, "red\n");
  Log(LogLevel::Warn, "yellow\n");
  Log(LogLevel::Info, "plain\n");
  Log(LogLevel::Verbose, "detail\n");
  EXPECT_EQ(out.Text(),
            "\x1b[31m[ERROR  ] red\n\x1b[m"
            "\x1b[33m[WARN   ] yellow\n\x1b[m"
            "\x1b[m[INFO   ] plain\n\x1b[m"
            "\x1b[m[VERBOSE] detail\n\x1b[m");
}

TEST_F(LogTest, MessageWithoutNewlineLeavesTheLineOpen) {
  Log(LogLevel::Error, "Hash mismatch: ");
  const std::uint8_t hash[] = {0x00, 0xAB, 0xff};
  LogHexDump(hash, sizeof hash);
  LogRaw("\n");
  std::fprintf(out.File(), "next");
  EXPECT_EQ(out.Text(), "[ERROR  ] Hash mismatch: 00abff\nnext");
}

TEST_F(LogTest, LongMessagesAreFormattedWhole) {
  const std::string longText(10000, 'x');
  Log(LogLevel::Error, "%s|\n", longText.c_str());
  EXPECT_EQ(out.Text(), "[ERROR  ] " + longText + "|\n");
}

TEST_F(LogTest, HexDumpIsLowercaseWithoutSeparators) {
  std::vector<std::uint8_t> bytes(100);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 0xA0);
  }
  LogHexDump(bytes.data(), 32);
  const std::string first = out.Text();
  ASSERT_EQ(first.size(), 64u);
  EXPECT_EQ(first.substr(0, 8), "a0a7aeb5");

  LogHexDump(bytes.data(), bytes.size());
  std::string expected;
  for (std::uint8_t byte : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    expected += pair;
  }
  EXPECT_EQ(out.Text().substr(64), expected);

  LogHexDump(bytes.data(), 0);
  EXPECT_EQ(out.Text().size(), 64u + 200u);
}

TEST_F(LogTest, HexDumpAndRawTextIgnoreTheLevelAndColour) {
  logSettings.logLevel = 0;
  logSettings.colorEnabled = true;
  const std::uint8_t byte = 0x5a;
  LogHexDump(&byte, 1);
  LogRaw("%s", "raw");
  LogRaw("%s", "");
  EXPECT_EQ(out.Text(), "5araw");
}

TEST_F(LogTest, StreamAndStdoutWritesToBothButStdoutOnlyOnce) {
  CapturedFile other;
  logSettings.logSink = LogSink::StreamAndStdout;
  logSettings.logStream = other.File();
  logSettings.colorEnabled = true;
  Log(LogLevel::Error, "both\n");
  EXPECT_EQ(other.Text(), "[ERROR  ] both\n");
  EXPECT_EQ(out.Text(), "\x1b[31m[ERROR  ] both\n\x1b[m");

  logSettings.logStream = out.File();
  Log(LogLevel::Warn, "once\n");
  EXPECT_EQ(out.Text(), "\x1b[31m[ERROR  ] both\n\x1b[m\x1b[33m[WARN   ] once\n\x1b[m");
}

TEST_F(LogTest, UnknownSinkAndMissingStreamWriteNothing) {
  logSettings.logSink = static_cast<LogSink>(2);
  Log(LogLevel::Error, "lost\n");
  logSettings.logSink = LogSink::Stream;
  logSettings.logStream = nullptr;
  Log(LogLevel::Error, "lost\n");
  LogRaw("lost");
  EXPECT_EQ(out.Text(), "");
}

TEST_F(LogTest, InitLogOutputSelectsStandardOutputWithoutColourForAFile) {
  CapturedFile other;
  logSettings.logStream = other.File();
  logSettings.colorEnabled = true;
  InitLogOutput();
  EXPECT_EQ(logSettings.logStream, out.File());
  EXPECT_FALSE(logSettings.colorEnabled);
  EXPECT_FALSE(EnableVirtualTerminal());
}

TEST_F(LogTest, ColourModeDecidesWhenAutoCannotTurnItOn) {
  logSettings.colorMode = ColorMode::Always;
  InitLogOutput();
  EXPECT_TRUE(logSettings.colorEnabled);

  logSettings.colorMode = static_cast<ColorMode>(7);  // any other value: never
  InitLogOutput();
  EXPECT_FALSE(logSettings.colorEnabled);

  logSettings.colorMode = ColorMode::Always;
  logSettings.logSink = LogSink::StreamAndStdout;
  InitLogOutput();
  EXPECT_TRUE(logSettings.colorEnabled);

  logSettings.logSink = LogSink::Debugger;
  InitLogOutput();
  EXPECT_FALSE(logSettings.colorEnabled);
}

}  // namespace
}  // namespace nevrik
