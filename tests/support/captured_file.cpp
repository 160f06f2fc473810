#include "tests/support/captured_file.h"

#include <stdexcept>

#include "tests/support/temporary_file.h"

namespace nevrik::test {

CapturedFile::CapturedFile() : file(OpenTemporaryFile()) {
  if (file == nullptr) {
    throw std::runtime_error("cannot create a temporary file");
  }
}

CapturedFile::CapturedFile(const std::string& content) : CapturedFile() {
  std::fwrite(content.data(), 1, content.size(), file);
  std::rewind(file);
}

CapturedFile::~CapturedFile() {
  std::fclose(file);
}

std::string CapturedFile::Text() const {
  std::fflush(file);
  const long position = std::ftell(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, count);
  }
  std::fseek(file, position, SEEK_SET);
  return text;
}

}  // namespace nevrik::test
