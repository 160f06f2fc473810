// Entry point on POSIX systems: the arguments arrive as bytes in the user's locale and are
// widened, so that an option letter outside ASCII is echoed back as it was typed.
#include <clocale>
#include <cwchar>
#include <string>
#include <vector>

#include "app/dump_protection.h"
#include "app/interrupt.h"
#include "app/updater.h"
#include "usb/platform_enumerator.h"

namespace {

// Bytes that are not valid in the locale's encoding become U+FFFD, one per byte.
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

int main(int argc, char** argv) {
  nevrik::KeepMemoryOutOfDumps();
  std::setlocale(LC_CTYPE, "");

  std::vector<std::wstring> wideArguments;
  wideArguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    wideArguments.push_back(WidenArgument(argv[i]));
  }
  std::vector<const wchar_t*> arguments;
  for (const std::wstring& argument : wideArguments) {
    arguments.push_back(argument.c_str());
  }
  arguments.push_back(nullptr);

  const nevrik::ProcessInterruption interruption;
  nevrik::UpdaterEnvironment environment;
  environment.makeEnumerator = nevrik::MakePlatformEnumerator;
  environment.interruption = &interruption;
  return static_cast<int>(nevrik::RunUpdater(argc, arguments.data(), environment));
}
