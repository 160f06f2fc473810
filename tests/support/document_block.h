#pragma once

#include <string>

namespace nevrik::test {

// The body of the first fenced code block (```LANGUAGE ... ```) after the line MARKER in the
// Markdown file PATH, so that tests run a document's script as it stands; empty when there is
// none.
std::string FencedBlockAfter(const std::string& path, const std::string& marker,
                             const std::string& language);

// The rack recipe of docs/fleet.md (its bash block).
std::string RackRecipe();

}  // namespace nevrik::test
