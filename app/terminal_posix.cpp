#include <syslog.h>
#include <unistd.h>

#include "app/terminal.h"

namespace nevrik {

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

}  // namespace nevrik
