// The SO PIN's echo on a real terminal: a pseudo-terminal plays the user's console.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/prompts.h"
#include "app/terminal.h"
#include "tests/support/terminal_reader.h"

namespace nevrik {
namespace {

bool EchoIsOn(int controller) {
  termios mode{};
  EXPECT_EQ(tcgetattr(controller, &mode), 0);
  return (mode.c_lflag & ECHO) != 0;
}

TEST(EchoTest, PinTypedAtThePromptIsNotShownAndEchoComesBack) {
  int controller = -1;
  int terminal = -1;
  ASSERT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  std::FILE* in = fdopen(terminal, "r");
  std::FILE* out = fdopen(dup(terminal), "w");
  ASSERT_TRUE(in != nullptr && out != nullptr);
  ASSERT_TRUE(EchoIsOn(controller));

  std::string shownBeforeTyping;
  std::thread user([&] {
    shownBeforeTyping = test::ReadTerminalUntil(controller, "SO PIN: ");
    EXPECT_FALSE(EchoIsOn(controller));
    const char typed[] = "s3cret\n";
    EXPECT_EQ(write(controller, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
  });
  SecretBytes pin;
  ReadSoPin({in, out, stderr}, pin);
  user.join();

  EXPECT_EQ(shownBeforeTyping, "SO PIN: ");
  EXPECT_EQ(std::string(pin.begin(), pin.end()), "s3cret");
  EXPECT_EQ(test::ReadTerminalUntil(controller, "\n"), "\r\n");  // only the updater's own newline
  EXPECT_TRUE(EchoIsOn(controller));
  std::fclose(in);
  std::fclose(out);
  close(controller);
}

class EchoRestoredOnSignal : public ::testing::TestWithParam<int> {};

TEST_P(EchoRestoredOnSignal, BeforeTheProcessEnds) {
  const int signalNumber = GetParam();
  int controller = -1;
  const pid_t child = forkpty(&controller, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    SwitchEchoOff(stdin);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    for (;;) {
      pause();
    }
  }
  ASSERT_NE(test::ReadTerminalUntil(controller, "ready").find("ready"), std::string::npos);
  EXPECT_FALSE(EchoIsOn(controller));

  kill(child, signalNumber);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), signalNumber);
  EXPECT_TRUE(EchoIsOn(controller));
  close(controller);
}

INSTANTIATE_TEST_SUITE_P(CtrlCHangUpAndTerminate, EchoRestoredOnSignal,
                         ::testing::Values(SIGINT, SIGQUIT, SIGHUP, SIGTERM));

TEST(EchoTest, NothingChangesWhenInputIsNoTerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(SwitchEchoOff(file));
  RestoreEcho();  // harmless without a saved mode
  std::fclose(file);
}

}  // namespace
}  // namespace nevrik
