// The SO PIN's echo on a real terminal: a pseudo-terminal plays the user's console.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "app/interrupt.h"
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
  // The PIN came straight from the descriptor: the C library never even made an input buffer
  // for the stream, so no copy of the PIN can be left in one.
  EXPECT_EQ(in->_IO_read_base, nullptr);
  EXPECT_EQ(test::ReadTerminalUntil(controller, "\n"), "\r\n");  // only the updater's own newline
  EXPECT_TRUE(EchoIsOn(controller));
  std::fclose(in);
  std::fclose(out);
  close(controller);
}

// A child on a pseudo-terminal whose echo is off, as at the SO PIN prompt, under the process's
// interruption handling.
class ChildWithEchoOff {
 public:
  ChildWithEchoOff() {
    pid = forkpty(&controller, nullptr, nullptr, nullptr);
    if (pid == 0) {
      const ProcessInterruption interruption;
      SwitchEchoOff(stdin);
      std::fputs("ready\n", stdout);
      std::fflush(stdout);
      while (!interruption.IsRequested()) {
        usleep(1000);
      }
      std::fputs("stopping\n", stdout);
      std::fflush(stdout);
      for (;;) {
        pause();
      }
    }
  }
  ~ChildWithEchoOff() { close(controller); }
  ChildWithEchoOff(const ChildWithEchoOff&) = delete;
  ChildWithEchoOff& operator=(const ChildWithEchoOff&) = delete;

  // The signal that ended the child, or 0.
  int WaitForEnd() const {
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

  pid_t pid = -1;
  int controller = -1;
};

class SecondInterrupt : public ::testing::TestWithParam<int> {};

// The first interrupt is only recorded (the run stops at its next step); the second ends the
// process at once, as the signal would, with the terminal's echo back on.
TEST_P(SecondInterrupt, EndsTheProcessAtOnceWithEchoRestored) {
  const int signalNumber = GetParam();
  const ChildWithEchoOff child;
  ASSERT_GT(child.pid, 0);
  ASSERT_NE(test::ReadTerminalUntil(child.controller, "ready").find("ready"), std::string::npos);
  EXPECT_FALSE(EchoIsOn(child.controller));

  kill(child.pid, signalNumber);
  ASSERT_NE(test::ReadTerminalUntil(child.controller, "stopping").find("stopping"),
            std::string::npos);
  EXPECT_FALSE(EchoIsOn(child.controller));

  kill(child.pid, signalNumber);
  EXPECT_EQ(child.WaitForEnd(), signalNumber);
  EXPECT_TRUE(EchoIsOn(child.controller));
}

INSTANTIATE_TEST_SUITE_P(CtrlCHangUpAndTerminate, SecondInterrupt,
                         ::testing::Values(SIGINT, SIGHUP, SIGTERM));

TEST(EchoTest, QuitEndsTheProcessAtOnceWithEchoRestored) {
  const ChildWithEchoOff child;
  ASSERT_GT(child.pid, 0);
  ASSERT_NE(test::ReadTerminalUntil(child.controller, "ready").find("ready"), std::string::npos);
  kill(child.pid, SIGQUIT);
  EXPECT_EQ(child.WaitForEnd(), SIGQUIT);
  EXPECT_TRUE(EchoIsOn(child.controller));
}

TEST(EchoTest, NothingChangesWhenInputIsNoTerminal) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(SwitchEchoOff(file));
  RestoreEcho();  // harmless without a saved mode
  std::fclose(file);
}

}  // namespace
}  // namespace nevrik
