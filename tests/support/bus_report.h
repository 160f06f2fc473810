#pragma once

#include <string>
#include <vector>

// Reading what nevrik-usbbus printed around the program it ran.
namespace nevrik::test {

// What the program wrote, without the runner's own lines ("usbbus: ...") before and after it.
std::string CommandOutput(const std::string& out);

// The "requests" line of every simulated key's report, in the order the keys were plugged in.
std::vector<std::string> RequestLines(const std::string& out);

}  // namespace nevrik::test
