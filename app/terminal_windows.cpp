#include <io.h>
#include <windows.h>

#include <atomic>

#include "app/terminal.h"

namespace nevrik {

namespace {

// The console whose echo is off. Windows runs a console control handler on a thread of its own:
// the handle and mode are written before the handler is registered and left alone while it is,
// and the flag that admits them is atomic, because the handler may still be running when the
// main thread clears it.
HANDLE savedHandle = INVALID_HANDLE_VALUE;
DWORD savedMode = 0;
std::atomic<bool> echoSwitchedOff{false};
// Set by the handler: the process is ending, and the read of the secret may have ended early.
std::atomic<bool> interruptedWhileEchoOff{false};

// Ctrl+C, Ctrl+Break or the console closing: put the mode back, then let the next handler (in
// the end Windows' default one, which ends the process) deal with the event.
BOOL WINAPI RestoreConsoleOnExit(DWORD /*event*/) {
  if (echoSwitchedOff.load()) {
    interruptedWhileEchoOff.store(true);
    SetConsoleMode(savedHandle, savedMode);
  }
  return FALSE;
}

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
  interruptedWhileEchoOff.store(false);
  echoSwitchedOff.store(true);
  // The handler is in place before echo goes off and stays until it is back on.
  SetConsoleCtrlHandler(RestoreConsoleOnExit, TRUE);
  SetConsoleMode(handle, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  return true;
}

void RestoreEcho() {
  if (!echoSwitchedOff.load()) {
    return;
  }
  SetConsoleMode(savedHandle, savedMode);
  SetConsoleCtrlHandler(RestoreConsoleOnExit, FALSE);
  echoSwitchedOff.store(false);
  // Ctrl+C ends a console read early, on this thread, while the handler's thread hands the event
  // on to Windows' default handler, which ends the process. Going on in between could send a PIN
  // cut short by the interrupt, which the key would count as a wrong try: wait for the end.
  if (interruptedWhileEchoOff.load()) {
    Sleep(INFINITE);
  }
}

}  // namespace nevrik
