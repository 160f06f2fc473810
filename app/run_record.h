#pragma once

#include <cstddef>

#include "protocol/device_status.h"
#include "usb/usb_key_identity.h"

namespace nevrik {

// How a run ended, one word each for scripts. Exit codes lump several of them together.
enum class RunOutcome {
  Updated,            // 0
  NotNeeded,          // 1
  Declined,           // 4: the confirmation was answered no, or the input ended
  NoSoPin,            // 4: the key has an SO PIN and none was given; nothing was sent
  IncorrectSoPin,     // 4: the key refused the PIN and counted the try
  SoPinLocked,        // 5
  Interrupted,        // 4
  Failed,             // 4: any other failure, an unexpected one too
  DeployUnconfirmed,  // 4: the deploy request or the final frame failed after the hash check
  NoKey,              // 3
  SeveralKeys,        // 3
  NoMatch,            // 3: no key matches the key asked for
  InUse,              // 3
  Unreachable,        // 3
  StatusFailed,       // 7
  BrokenPack,         // 6
  TestBuild,          // 6: an updater carrying test data found a key without the test identity
};

// The word of an outcome, such as "incorrect-so-pin".
const char* RunOutcomeName(RunOutcome outcome);

// What the update procedure tells as a run goes on, for a record of it. The human run keeps
// none of it (NoRunRecord); a run for scripts writes it out as it comes.
class RunRecord {
 public:
  virtual ~RunRecord() = default;

  // The one key the run talks to, once it is found.
  virtual void KeyFound(const UsbKeyIdentity&) {}
  // Its status, once read.
  virtual void StatusRead(const DeviceStatus&) {}
  // Whether it is updated: forced, needed, or not needed.
  virtual void Decided(bool /*force*/, bool /*needed*/) {}
  // After each chunk the key accepted: bytes of the image written so far, of total.
  virtual void Written(std::size_t, std::size_t) {}
  virtual void Verified() {}
  virtual void Deployed() {}
  // How the run ends. The first outcome given stands: a failure is told where it is best known,
  // and the steps that end the run after it only confirm it.
  virtual void Ended(RunOutcome) {}
};

// A record that keeps nothing.
RunRecord& NoRunRecord();

}  // namespace nevrik
