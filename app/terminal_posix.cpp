#include <signal.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <cstddef>

#include "app/terminal.h"

namespace nevrik {

namespace {

// The signals that end the process while a secret is typed: Ctrl+C, Ctrl+\, the terminal hanging
// up, and a request to terminate.
constexpr int EndingSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
constexpr std::size_t EndingSignalCount = sizeof EndingSignals / sizeof EndingSignals[0];

// Process-wide, because the signal handler needs them.
struct SavedTerminal {
  bool saved = false;
  int descriptor = -1;
  termios mode{};
  struct sigaction previousActions[EndingSignalCount] = {};
};
SavedTerminal savedTerminal;

// Puts the terminal's mode back, then lets the signal do what it would have done without us.
// Only async-signal-safe calls.
extern "C" void RestoreTerminalOnSignal(int signalNumber) {
  tcsetattr(savedTerminal.descriptor, TCSANOW, &savedTerminal.mode);
  for (std::size_t i = 0; i < EndingSignalCount; ++i) {
    if (EndingSignals[i] == signalNumber) {
      sigaction(signalNumber, &savedTerminal.previousActions[i], nullptr);
    }
  }
  raise(signalNumber);
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  return isatty(fileno(stream)) == 1;
}

// POSIX terminals process the colour sequences the logger writes without being asked, so a
// terminal is a capable one; nothing is switched and nothing can be refused.
bool EnableEscapeSequences(std::FILE* stream, std::FILE* /*standardOutput*/) {
  return IsTerminal(stream);
}

// The system log is where a debugger's user looks on these platforms.
void WriteToDebugger(const char* text) {
  syslog(LOG_USER | LOG_DEBUG, "%s", text);
}

bool SwitchEchoOff(std::FILE* in) {
  const int descriptor = fileno(in);
  termios mode{};
  if (savedTerminal.saved || tcgetattr(descriptor, &mode) != 0) {
    return false;
  }
  savedTerminal.descriptor = descriptor;
  savedTerminal.mode = mode;
  savedTerminal.saved = true;

  struct sigaction restoring {};
  restoring.sa_handler = RestoreTerminalOnSignal;
  sigemptyset(&restoring.sa_mask);
  for (std::size_t i = 0; i < EndingSignalCount; ++i) {
    sigaction(EndingSignals[i], nullptr, &savedTerminal.previousActions[i]);
    // A signal the user chose to ignore (nohup) stays ignored.
    if (savedTerminal.previousActions[i].sa_handler != SIG_IGN) {
      sigaction(EndingSignals[i], &restoring, nullptr);
    }
  }

  mode.c_lflag &= static_cast<tcflag_t>(~ECHO);
  tcsetattr(descriptor, TCSANOW, &mode);
  return true;
}

void RestoreEcho() {
  if (!savedTerminal.saved) {
    return;
  }
  tcsetattr(savedTerminal.descriptor, TCSANOW, &savedTerminal.mode);
  for (std::size_t i = 0; i < EndingSignalCount; ++i) {
    sigaction(EndingSignals[i], &savedTerminal.previousActions[i], nullptr);
  }
  savedTerminal.saved = false;
}

}  // namespace nevrik
