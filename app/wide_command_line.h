#pragma once

#include <string>
#include <vector>

namespace nevrik {

// The command line of a POSIX program as wide strings, widened from the bytes of the user's
// locale (the caller sets LC_CTYPE first), so that an option letter outside ASCII is echoed back
// as it was typed. Bytes that are not valid in the locale's encoding become U+FFFD, one per byte.
class WideCommandLine {
 public:
  WideCommandLine(int argc, const char* const* argv);
  WideCommandLine(const WideCommandLine&) = delete;
  WideCommandLine& operator=(const WideCommandLine&) = delete;

  // argc arguments followed by a null pointer.
  const wchar_t* const* Arguments() const { return pointers.data(); }

 private:
  std::vector<std::wstring> arguments;
  std::vector<const wchar_t*> pointers;
};

}  // namespace nevrik
