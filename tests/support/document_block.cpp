#include "tests/support/document_block.h"

#include <fstream>

namespace nevrik::test {

std::string FencedBlockAfter(const std::string& path, const std::string& marker,
                             const std::string& language) {
  std::ifstream document(path);
  std::string line;
  std::string block;
  enum { Before, Marked, Inside } place = Before;
  while (std::getline(document, line)) {
    if (place == Before && line == marker) {
      place = Marked;
    } else if (place == Marked && line == "```" + language) {
      place = Inside;
    } else if (place == Inside && line == "```") {
      return block;
    } else if (place == Inside) {
      block += line + "\n";
    }
  }
  return "";
}

std::string RackRecipe() {
  return FencedBlockAfter(NEVRIK_SOURCE_DIR "/docs/fleet.md", "<!-- rack recipe: bash -->", "bash");
}

}  // namespace nevrik::test
