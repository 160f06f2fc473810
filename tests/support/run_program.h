#pragma once

#include <string>
#include <vector>

namespace nevrik::test {

struct ProgramResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs a program to its end with the given arguments (not counting the program itself; UTF-8,
// handed to a Windows program as UTF-16), standard input filled from input, and the environment
// given as NAME=value entries (only those, and on Linux this process's LD_LIBRARY_PATH). Its
// standard streams are no terminal.
ProgramResult RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                         const std::string& input = "",
                         const std::vector<std::string>& environment = {"LC_ALL=C.UTF-8"});

// The bytes that a program writes for text through its standard streams. On Windows these are
// in text mode, as is the convention there, and each "\n" goes out as "\r\n": what a console
// shows as a line end and what Windows tools expect in a redirected file.
std::string WrittenText(const std::string& text);

}  // namespace nevrik::test
