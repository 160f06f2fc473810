#include <io.h>
#include <windows.h>

#include <atomic>

#include "app/terminal.h"

namespace nevrik {

namespace {

// The console whose echo is off. ProcessInterruption's console event handler runs on a thread of
// its own and may put the mode back (RestoreEchoAtOnce): the handle and mode are written before
// the atomic flag admits them.
HANDLE savedHandle = INVALID_HANDLE_VALUE;
DWORD savedMode = 0;
std::atomic<bool> echoSwitchedOff{false};

// The operating-system handle behind the stream; for the process's standard input that is the
// handle GetStdHandle(STD_INPUT_HANDLE) gives.
HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

// A console is recognised by GetConsoleMode succeeding: _isatty is also true for NUL.
bool EnableEscapeSequences(std::FILE* stream, std::FILE* standardOutput) {
  const HANDLE handle = HandleOf(stream);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) {
    return false;  // not a console (a pipe, a file, or NUL)
  }
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
    return true;
  }
  if (SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
    return true;
  }
  std::fprintf(standardOutput, "failed. %d\n", static_cast<int>(GetLastError()));
  return false;
}

void WriteToDebugger(const char* text) {
  OutputDebugStringA(text);
}

bool SwitchEchoOff(std::FILE* in) {
  const HANDLE handle = HandleOf(in);
  DWORD mode = 0;
  if (echoSwitchedOff.load() || !GetConsoleMode(handle, &mode)) {
    return false;
  }
  savedHandle = handle;
  savedMode = mode;
  echoSwitchedOff.store(true);
  SetConsoleMode(handle, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  return true;
}

void RestoreEcho() {
  if (!echoSwitchedOff.load()) {
    return;
  }
  SetConsoleMode(savedHandle, savedMode);
  echoSwitchedOff.store(false);
}

void RestoreEchoAtOnce() {
  if (echoSwitchedOff.load()) {
    SetConsoleMode(savedHandle, savedMode);
  }
}

}  // namespace nevrik
