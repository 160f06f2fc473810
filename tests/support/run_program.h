#pragma once

#include <string>
#include <vector>

namespace nevrik::test {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs a program to its end with the given arguments (not counting the program itself), standard
// input filled from input, and the environment given as NAME=value entries (only those).
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                         const std::string& input = "",
                         const std::vector<std::string>& environment = {"LC_ALL=C.UTF-8"});

}  // namespace nevrik::test
