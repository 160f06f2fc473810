// Entry point on Windows: the command line arrives as the user typed it, in UTF-16.
#include "app/updater.h"

int wmain(int argc, wchar_t** argv) {
  const nevrik::UpdaterEnvironment environment;
  return static_cast<int>(nevrik::RunUpdater(argc, argv, environment));
}
