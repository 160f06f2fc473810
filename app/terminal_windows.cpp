#include <io.h>
#include <windows.h>

#include "app/terminal.h"

namespace nevrik {

namespace {

// Process-wide, because the console control handler runs on a thread of its own.
struct SavedConsole {
  bool saved = false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD mode = 0;
};
SavedConsole savedConsole;

// Ctrl+C, Ctrl+Break or the console closing: put the mode back, then let the default handler
// end the process.
BOOL WINAPI RestoreConsoleOnExit(DWORD /*event*/) {
  if (savedConsole.saved) {
    SetConsoleMode(savedConsole.handle, savedConsole.mode);
  }
  return FALSE;
}

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

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

// A console is recognised by GetConsoleMode succeeding, never by _isatty, which is also true
// for NUL.
bool SwitchEchoOff(std::FILE* in) {
  const HANDLE handle = HandleOf(in);
  DWORD mode = 0;
  if (savedConsole.saved || !GetConsoleMode(handle, &mode)) {
    return false;
  }
  savedConsole = {true, handle, mode};
  SetConsoleCtrlHandler(RestoreConsoleOnExit, TRUE);
  SetConsoleMode(handle, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  return true;
}

void RestoreEcho() {
  if (!savedConsole.saved) {
    return;
  }
  SetConsoleMode(savedConsole.handle, savedConsole.mode);
  SetConsoleCtrlHandler(RestoreConsoleOnExit, FALSE);
  savedConsole.saved = false;
}

}  // namespace nevrik
