#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace nevrik::test {

// One record of a known-answer vector file: `Name: value` lines, records separated by blank
// lines, '#' starting a comment line. Values are hex except Comment and Result.
class VectorRecord {
 public:
  bool Has(const std::string& name) const { return fields.count(name) != 0; }
  // Both throw std::out_of_range when the record lacks the field, failing the test.
  const std::string& Text(const std::string& name) const { return fields.at(name); }
  std::vector<std::uint8_t> Bytes(const std::string& name) const;

  std::map<std::string, std::string> fields;
};

// Reads tests/secure/vectors/<fileName>. A missing or unreadable file gives an empty list, which
// the tests assert against.
std::vector<VectorRecord> ReadVectorFile(const std::string& fileName);

}  // namespace nevrik::test
