// Entry point on Windows: the command line arrives as the user typed it, in UTF-16.
#include "app/updater.h"
#include "usb/platform_enumerator.h"

int wmain(int argc, wchar_t** argv) {
  nevrik::UpdaterEnvironment environment;
  environment.makeEnumerator = nevrik::MakePlatformEnumerator;
  return static_cast<int>(nevrik::RunUpdater(argc, argv, environment));
}
