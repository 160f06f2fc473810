// Entry point on POSIX systems: the arguments arrive as bytes in the user's locale and are
// widened, so that an option letter outside ASCII is echoed back as it was typed.
#include <clocale>

#include "app/dump_protection.h"
#include "app/interrupt.h"
#include "app/updater.h"
#include "app/wide_command_line.h"
#include "usb/platform_enumerator.h"

int main(int argc, char** argv) {
  nevrik::KeepMemoryOutOfDumps();
  std::setlocale(LC_CTYPE, "");
  const nevrik::WideCommandLine commandLine(argc, argv);

  const nevrik::ProcessInterruption interruption;
  nevrik::UpdaterEnvironment environment;
  environment.makeEnumerator = nevrik::MakePlatformEnumerator;
  environment.interruption = &interruption;
  return static_cast<int>(nevrik::RunUpdater(argc, commandLine.Arguments(), environment));
}
