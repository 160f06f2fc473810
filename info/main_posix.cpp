// nevrik-info's entry point on POSIX systems.
#include <clocale>

#include "app/wide_command_line.h"
#include "info/info_program.h"
#include "usb/platform_enumerator.h"

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  const nevrik::WideCommandLine commandLine(argc, argv);
  nevrik::UpdaterEnvironment environment;
  environment.makeEnumerator = nevrik::MakePlatformEnumerator;
  return static_cast<int>(nevrik::RunInfo(argc, commandLine.Arguments(), environment));
}
