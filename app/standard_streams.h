#pragma once

#include <cstdio>

namespace nevrik {

// The streams the updater talks through: the process's own, or a test's captures when the
// updater runs in-process.
struct StandardStreams {
  std::FILE* in = stdin;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

}  // namespace nevrik
