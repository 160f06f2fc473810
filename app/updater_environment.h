#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/firmware_pack.h"
#include "app/interrupt.h"
#include "app/prompts.h"
#include "app/run_record.h"
#include "app/standard_streams.h"
#include "secure/ephemeral_key_source.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// What a run of the updater takes from outside: its streams, its firmware pack, the way to find
// keys, the user's requests to stop, where the handshake's host key pairs come from, and the
// answers and the key that the command line gave (none by default; RunUpdater sets them). The
// shipped program passes the process's streams, the embedded pack and its mark, the platform's
// enumerator, its ProcessInterruption and the auto-seeded key source; tests pass captures, packs
// of their own, simulated keys, interruptions they trigger themselves and fixed key pairs, which
// makes a whole run replayable byte for byte.
struct UpdaterEnvironment {
  StandardStreams streams;
  FirmwarePack pack{EmbeddedFirmwarePackData()};
  // Whether the pack is test data, not firmware: then only keys announcing the test identity are
  // updated. Tests that pass packs made from the embedded one keep the embedded pack's mark.
  bool packIsTestData = EmbeddedFirmwarePackIsTestData();
  std::function<std::unique_ptr<KvUsbEnumerator>()> makeEnumerator;
  const Interruption* interruption = &NoInterruption();
  EphemeralKeySource* keySource = &AutoSeededKeySource();  // never null
  PromptAnswers answers;
  RunRecord* record = &NoRunRecord();  // never null; RunUpdater sets it for --json
  // What --device named: the key to act on among several; none: the one key attached.
  std::optional<std::wstring> deviceSelector;
};

}  // namespace nevrik
