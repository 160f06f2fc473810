#pragma once

#include <cstdio>
#include <string>

namespace nevrik::test {

// An anonymous temporary file that stands in for a standard stream: give File() to the code under
// test, then read back what it wrote with Text(). Can also be filled first to serve as input.
class CapturedFile {
 public:
  CapturedFile();
  explicit CapturedFile(const std::string& content);  // input, positioned at its start
  ~CapturedFile();
  CapturedFile(const CapturedFile&) = delete;
  CapturedFile& operator=(const CapturedFile&) = delete;

  std::FILE* File() const { return file; }
  std::string Text() const;  // everything written so far

 private:
  std::FILE* file;
};

}  // namespace nevrik::test
