#pragma once

#include <functional>
#include <memory>

#include "app/firmware_pack.h"
#include "app/standard_streams.h"
#include "secure/ephemeral_key_source.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// What a run of the updater takes from outside: its streams, its firmware pack, the way to find
// keys and where the handshake's host key pairs come from. The shipped program passes the
// process's streams, the embedded pack, the platform's enumerator and the auto-seeded key source;
// tests pass captures, packs of their own, simulated keys and fixed key pairs, which makes a whole
// run replayable byte for byte.
struct UpdaterEnvironment {
  StandardStreams streams;
  FirmwarePack pack{EmbeddedFirmwarePackData()};
  std::function<std::unique_ptr<KvUsbEnumerator>()> makeEnumerator;
  EphemeralKeySource* keySource = &AutoSeededKeySource();  // never null
};

}  // namespace nevrik
