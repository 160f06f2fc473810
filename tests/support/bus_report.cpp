#include "tests/support/bus_report.h"

#include <regex>

namespace nevrik::test {

std::string CommandOutput(const std::string& out) {
  const std::size_t lastPlug = out.rfind("usbbus: plugged in at ");
  const std::size_t start = lastPlug == std::string::npos ? 0 : out.find('\n', lastPlug) + 1;
  return out.substr(start, out.find("usbbus: nevrik-", start) - start);
}

std::vector<std::string> RequestLines(const std::string& out) {
  std::vector<std::string> lines;
  const std::regex line("  requests       ([^\n]*)\n");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it) {
    lines.push_back((*it)[1].str());
  }
  return lines;
}

}  // namespace nevrik::test
