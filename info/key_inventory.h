#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/exit_code.h"
#include "app/firmware_pack.h"
#include "protocol/device_status.h"
#include "protocol/status_code.h"
#include "protocol/tick_source.h"
#include "secure/digest.h"
#include "secure/ephemeral_key_source.h"
#include "usb/kv_usb_enumerator.h"
#include "usb/usb_key_listing.h"

namespace nevrik {

// What the firmware pack carries, computed from the pack itself.
struct PackSummary {
  FirmwareVersion firmware{};
  std::uint32_t imageSize = 0;
  Sha256Digest imageSha256{};
  bool testData = false;  // the placeholder pack's data, not firmware

  // 64 lowercase hex digits.
  std::string ImageSha256Hex() const;
};

// Only for a pack that passed ValidatePack.
PackSummary SummarisePack(const FirmwarePack& pack, bool testData);

enum class KeyAccess {
  Ok,           // opened and synchronised
  InUse,        // listed, but another program holds it
  Unreachable,  // opened, but it did not synchronise
};

enum class SoPinState { None, Set, Locked };

// What the updater, unforced, would do with a key: update it, find it needs nothing, or stop at
// its locked SO PIN.
enum class UpdateState { Available, NotNeeded, Blocked };

// One listed key.
struct KeyRecord {
  // A listed key's whole identity; only the path of a device that could not be inspected.
  UsbKeyIdentity identity;
  KeyAccess access = KeyAccess::Ok;
  std::optional<DeviceStatus> status;     // when the status was read
  std::optional<StatusCode> statusError;  // when the status query failed
  std::optional<UsbKeyDetails> usb;       // with details asked for, for a listed key

  // Only meaningful with a status: locked counts only while an SO PIN is set, as the updater
  // sees it.
  SoPinState SoPin() const;
  // Only meaningful with a status.
  UpdateState Update() const;
};

// The listed keys, and beside them the devices that could not be inspected for lack of
// permission: they may or may not be keys.
struct Inventory {
  std::vector<KeyRecord> keys;
  std::vector<std::wstring> uninspected;
  // How many keys were listed, also those that a selector left out of keys.
  unsigned listed = 0;
};

// Reads the keys that the enumerator, enumerated already, lists at indices, each with the
// synchronisation and the status query alone; no other request reaches a key, and no other key
// is opened. Every key is closed again before the next is opened, so another program (the
// updater) can open it right after. With withUsbDetails each key carries what it announced on
// the USB.
Inventory ReadListedKeys(KvUsbEnumerator& enumerator, const std::vector<unsigned>& indices,
                         bool withUsbDetails, TickSource& ticks, EphemeralKeySource& keySource);

// ExitOk when there are keys and every one was read, whatever could not be inspected beside
// them; ExitNoDevice when there is none or one could not be opened or reached; else
// ExitStatusFailed when a status could not be read.
ExitCode InventoryExitCode(const std::vector<KeyRecord>& keys);

}  // namespace nevrik
