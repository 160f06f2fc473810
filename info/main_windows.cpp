// nevrik-info's entry point on Windows: the command line in UTF-16 (wmain, linked with
// -municode), wide text written back in the console's OEM code page, as the updater does.
#include <clocale>

#include "info/info_program.h"
#include "usb/platform_enumerator.h"

int wmain(int argc, wchar_t** argv) {
  std::setlocale(LC_CTYPE, ".OCP");
  nevrik::UpdaterEnvironment environment;
  environment.makeEnumerator = nevrik::MakePlatformEnumerator;
  return static_cast<int>(nevrik::RunInfo(argc, argv, environment));
}
