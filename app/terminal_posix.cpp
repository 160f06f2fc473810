#include <signal.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "app/terminal.h"

namespace nevrik {

namespace {

// The terminal whose echo is off, process-wide because a signal handler may have to put it back
// (RestoreEchoAtOnce). The mode is written before the flag admits it.
struct SavedTerminal {
  volatile std::sig_atomic_t saved = 0;
  int descriptor = -1;
  termios mode{};
};
SavedTerminal savedTerminal;

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
  if (savedTerminal.saved != 0 || tcgetattr(descriptor, &mode) != 0) {
    return false;
  }
  savedTerminal.descriptor = descriptor;
  savedTerminal.mode = mode;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  savedTerminal.saved = 1;

  mode.c_lflag &= static_cast<tcflag_t>(~ECHO);
  tcsetattr(descriptor, TCSANOW, &mode);
  return true;
}

void RestoreEcho() {
  if (savedTerminal.saved == 0) {
    return;
  }
  tcsetattr(savedTerminal.descriptor, TCSANOW, &savedTerminal.mode);
  savedTerminal.saved = 0;
}

// Async-signal-safe: tcsetattr is, and nothing else is called.
void RestoreEchoAtOnce() {
  if (savedTerminal.saved != 0) {
    tcsetattr(savedTerminal.descriptor, TCSANOW, &savedTerminal.mode);
  }
}

}  // namespace nevrik
