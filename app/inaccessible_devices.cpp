#include "app/inaccessible_devices.h"

#include "app/log.h"

namespace nevrik {

void WarnAboutInaccessibleDevices(unsigned count, const char* programName) {
  if (count == 1) {
    Log(LogLevel::Warn,
        "1 USB device could not be inspected for lack of permission. Run %s with sufficient "
        "rights, or grant access to the device node.\n",
        programName);
  } else if (count > 1) {
    Log(LogLevel::Warn,
        "%u USB devices could not be inspected for lack of permission. Run %s with sufficient "
        "rights, or grant access to their device nodes.\n",
        count, programName);
  }
}

}  // namespace nevrik
