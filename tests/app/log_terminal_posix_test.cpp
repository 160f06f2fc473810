// Colour on a real terminal: a pseudo-terminal stands in for the user's console.
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/log.h"
#include "tests/support/terminal_reader.h"

namespace nevrik {
namespace {

TEST(LogTerminalTest, AutoColourIsOnExactlyForATerminal) {
  int controller = -1;
  int terminal = -1;
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  std::FILE* stream = fdopen(terminal, "w");
  ASSERT_NE(stream, nullptr);

  const LogSettings saved = logSettings;
  logSettings = LogSettings{};
  logSettings.standardOutput = stream;
  InitLogOutput();
  EXPECT_TRUE(logSettings.colorEnabled);

  Log(LogLevel::Warn, "w\n");
  std::fflush(stream);
  const std::string shown = test::ReadTerminalUntil(controller, "\x1b[m");
  logSettings = saved;
  std::fclose(stream);
  close(controller);

  // The terminal's output processing turns "\n" into "\r\n".
  EXPECT_EQ(shown, "\x1b[33m[WARN   ] w\r\n\x1b[m");
}

}  // namespace
}  // namespace nevrik
