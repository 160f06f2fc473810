#pragma once

#include <functional>
#include <memory>

#include "app/firmware_pack.h"
#include "app/standard_streams.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// What a run of the updater takes from outside: its streams, its firmware pack and the way to
// find keys. The shipped program passes the process's streams, the embedded pack and the
// platform's enumerator; tests pass captures, packs of their own and simulated keys.
struct UpdaterEnvironment {
  StandardStreams streams;
  FirmwarePack pack{EmbeddedFirmwarePackData()};
  std::function<std::unique_ptr<KvUsbEnumerator>()> makeEnumerator;
};

}  // namespace nevrik
