#include "app/so_pin_descriptor.h"

namespace nevrik {

// A script that starts the updater cannot hand it a numbered descriptor here; it gives the SO PIN
// on standard input instead (--yes, then the PIN as the input's first line).
std::optional<int> SoPinDescriptor(const wchar_t* text, std::FILE* errorStream) {
  std::fprintf(errorStream,
               "no SO PIN descriptors on Windows: give the PIN on standard input -- %ls\n", text);
  return std::nullopt;
}

std::FILE* OpenSoPinDescriptor(int /*descriptor*/) {
  return nullptr;
}

}  // namespace nevrik
