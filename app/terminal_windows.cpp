#include <io.h>
#include <windows.h>

#include "app/terminal.h"

namespace nevrik {

bool IsTerminal(std::FILE* stream) {
  return _isatty(_fileno(stream)) != 0;
}

bool EnableEscapeSequences(std::FILE* stream, std::FILE* standardOutput) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
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

}  // namespace nevrik
