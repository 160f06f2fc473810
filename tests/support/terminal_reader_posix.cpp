#include <unistd.h>

#include "tests/support/terminal_reader.h"

namespace nevrik::test {

std::string ReadTerminalUntil(int controller, const std::string& expected) {
  std::string shown;
  char buffer[256];
  for (int attempts = 0; attempts < 200 && shown.find(expected) == std::string::npos; ++attempts) {
    const ssize_t count = read(controller, buffer, sizeof buffer);
    if (count <= 0) {
      break;
    }
    shown.append(buffer, static_cast<std::size_t>(count));
  }
  return shown;
}

}  // namespace nevrik::test
