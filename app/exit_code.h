#pragma once

namespace nevrik {

// The only values the updater returns to the operating system.
enum class ExitCode : int {
  ExitOk = 0,              // help or version given; or the update was deployed
  ExitNoUpdateNeeded = 1,  // not forced and the device already runs the target version or later
  ExitBadOption = 2,       // a command-line error
  ExitNoDevice = 3,        // no device, several, held by another program, or not accessible
  ExitCanceled = 4,        // declined, or a step from the secure channel on failed
  ExitSoPinLocked = 5,     // the device's SO PIN is locked
  ExitBrokenUpdater = 6,   // the embedded firmware pack fails its check
  ExitStatusFailed = 7,    // reading the device status failed
};

}  // namespace nevrik
