#include <cwchar>

#include "app/wide_command_line.h"

namespace nevrik {

namespace {

std::wstring WidenArgument(const char* argument) {
  std::wstring wide;
  std::mbstate_t state{};
  const char* position = argument;
  std::size_t remaining = std::char_traits<char>::length(argument);
  while (remaining > 0) {
    wchar_t character = 0;
    const std::size_t used = std::mbrtowc(&character, position, remaining, &state);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      wide.push_back(L'\uFFFD');
      state = std::mbstate_t{};
      ++position;
      --remaining;
      continue;
    }
    wide.push_back(character);
    const std::size_t step = used == 0 ? 1 : used;
    position += step;
    remaining -= step;
  }
  return wide;
}

}  // namespace

WideCommandLine::WideCommandLine(int argc, const char* const* argv) {
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    arguments.push_back(WidenArgument(argv[i]));
  }
  for (const std::wstring& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  pointers.push_back(nullptr);
}

}  // namespace nevrik
