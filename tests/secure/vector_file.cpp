#include "tests/secure/vector_file.h"

#include <fstream>
#include <stdexcept>

namespace nevrik::test {

namespace {

std::uint8_t HexDigit(char digit) {
  if (digit >= '0' && digit <= '9') {
    return static_cast<std::uint8_t>(digit - '0');
  }
  if (digit >= 'A' && digit <= 'F') {
    return static_cast<std::uint8_t>(digit - 'A' + 10);
  }
  if (digit >= 'a' && digit <= 'f') {
    return static_cast<std::uint8_t>(digit - 'a' + 10);
  }
  throw std::invalid_argument(std::string("not a hex digit: ") + digit);
}

}  // namespace

std::vector<std::uint8_t> VectorRecord::Bytes(const std::string& name) const {
  const std::string& hex = Text(name);
  if (hex.size() % 2 != 0) {
    throw std::invalid_argument(name + " has an odd number of hex digits");
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(HexDigit(hex[i]) << 4 | HexDigit(hex[i + 1])));
  }
  return bytes;
}

std::vector<VectorRecord> ReadVectorFile(const std::string& fileName) {
  std::ifstream file(std::string(NEVRIK_TEST_DATA_DIR "/secure/vectors/") + fileName);
  std::vector<VectorRecord> records;
  VectorRecord current;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line[0] == '#') {
      continue;
    }
    if (line.empty()) {
      if (!current.fields.empty()) {
        records.push_back(std::move(current));
        current = VectorRecord();
      }
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      throw std::invalid_argument("malformed vector line: " + line);
    }
    const std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
    current.fields[line.substr(0, colon)] =
        valueStart == std::string::npos ? std::string() : line.substr(valueStart);
  }
  if (!current.fields.empty()) {
    records.push_back(std::move(current));
  }
  return records;
}

}  // namespace nevrik::test
