// Entry point on Windows: the command line arrives as the user typed it, in UTF-16 (wmain, linked
// with -municode; the C runtime expands no wildcards).
#include <clocale>

#include "app/interrupt.h"
#include "app/updater.h"
#include "usb/platform_enumerator.h"

int wmain(int argc, wchar_t** argv) {
  // Wide text written back, such as an unknown option letter, goes out in the OEM code page: the
  // console's own unless changed with chcp, and what Windows' console tools write to redirected
  // output too. The "C" locale would write a letter's Latin-1 byte, which the console shows as
  // another letter.
  std::setlocale(LC_CTYPE, ".OCP");

  const nevrik::ProcessInterruption interruption;
  nevrik::UpdaterEnvironment environment;
  environment.makeEnumerator = nevrik::MakePlatformEnumerator;
  environment.interruption = &interruption;
  return static_cast<int>(nevrik::RunUpdater(argc, argv, environment));
}
