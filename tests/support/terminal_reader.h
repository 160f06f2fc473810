#pragma once

#include <string>

namespace nevrik::test {

// Reads what a pseudo-terminal's controller side shows until it holds expected, which may take
// several reads since the terminal hands its output over in pieces. Gives up at the end of the
// output or after many reads, returning what was shown.
std::string ReadTerminalUntil(int controller, const std::string& expected);

}  // namespace nevrik::test
