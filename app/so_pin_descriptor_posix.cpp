#include <fcntl.h>
#include <unistd.h>

#include <climits>

#include "app/so_pin_descriptor.h"

namespace nevrik {

std::optional<int> SoPinDescriptor(const wchar_t* text, std::FILE* errorStream) {
  long long number = text[0] != L'\0' ? 0 : -1;
  for (const wchar_t* digit = text; *digit != L'\0' && number >= 0; ++digit) {
    number =
        *digit >= L'0' && *digit <= L'9' && number <= INT_MAX ? number * 10 + (*digit - L'0') : -1;
  }
  if (number >= 0 && number <= INT_MAX && number != STDOUT_FILENO && number != STDERR_FILENO) {
    const int flags = fcntl(static_cast<int>(number), F_GETFL);
    if (flags != -1 && (flags & O_ACCMODE) != O_WRONLY) {
      return static_cast<int>(number);
    }
  }
  std::fprintf(errorStream, "no SO PIN can be read from descriptor -- %ls\n", text);
  return std::nullopt;
}

std::FILE* OpenSoPinDescriptor(int descriptor) {
  return fdopen(descriptor, "r");
}

}  // namespace nevrik
