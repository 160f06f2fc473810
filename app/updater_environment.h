#pragma once

#include <functional>
#include <memory>

#include "app/firmware_pack.h"
#include "app/interrupt.h"
#include "app/standard_streams.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// What a run of the updater takes from outside: its streams, its firmware pack, the way to find
// keys and the user's requests to stop. The shipped program passes the process's streams, the
// embedded pack, the platform's enumerator and its ProcessInterruption; tests pass captures,
// packs of their own, simulated keys and interruptions they trigger themselves.
struct UpdaterEnvironment {
  StandardStreams streams;
  FirmwarePack pack{EmbeddedFirmwarePackData()};
  std::function<std::unique_ptr<KvUsbEnumerator>()> makeEnumerator;
  const Interruption* interruption = &NoInterruption();
};

}  // namespace nevrik
