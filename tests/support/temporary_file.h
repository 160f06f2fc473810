#pragma once

#include <cstdio>

namespace nevrik::test {

// Opens a new, empty file for reading and writing that no other process shares and that is
// removed when closed. Returns null when none can be made.
std::FILE* OpenTemporaryFile();

}  // namespace nevrik::test
