#include "info/key_inventory.h"

#include <algorithm>

#include "app/update_decision.h"
#include "protocol/device_session.h"
#include "usb/usb_access_report.h"

namespace nevrik {

namespace {

KeyAccess AccessAfterOpenFailure(UsbOpenResult result) {
  // The updater reports every failure to open as the key being used by another program; only a
  // key that went away between listing and opening is told apart here.
  return result == UsbOpenResult::PathNotFound ? KeyAccess::Unreachable : KeyAccess::InUse;
}

// Opens the key at index, synchronises it, queries its status and closes it again.
void ReadKey(KvUsbEnumerator& enumerator, unsigned index, TickSource& ticks,
             EphemeralKeySource& keySource, KeyRecord& record) {
  std::unique_ptr<KvUsbDevice> device;
  const UsbOpenResult opened = enumerator.OpenDevice(index, device);
  if (opened != UsbOpenResult::Opened) {
    record.access = AccessAfterOpenFailure(opened);
    return;
  }
  const std::unique_ptr<DeviceSession> session =
      DeviceSession::Attach(std::move(device), ticks, keySource);
  if (!session->Synchronize()) {
    record.access = KeyAccess::Unreachable;
  } else {
    DeviceStatus status;
    const StatusCode result = session->GetStatus(status);
    if (result == StatusCode::Success) {
      record.status = status;
    } else {
      record.statusError = result;
    }
  }
  session->Device().Close();
}

}  // namespace

PackSummary SummarisePack(const FirmwarePack& pack, bool testData) {
  return PackSummary{TargetVersion, pack.ImageSize(), Sha256(pack.Image()), testData};
}

std::string PackSummary::ImageSha256Hex() const {
  constexpr char Digits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : imageSha256) {
    hex += Digits[byte >> 4];
    hex += Digits[byte & 0x0F];
  }
  return hex;
}

SoPinState KeyRecord::SoPin() const {
  const std::uint8_t flags = status ? status->Flags() : 0;
  if ((flags & DeviceStatus::SoPinSet) == 0) {
    return SoPinState::None;
  }
  return (flags & DeviceStatus::SoPinLocked) != 0 ? SoPinState::Locked : SoPinState::Set;
}

UpdateState KeyRecord::Update() const {
  if (!status || RunsTargetVersionOrLater(*status)) {
    return UpdateState::NotNeeded;
  }
  return SoPin() == SoPinState::Locked ? UpdateState::Blocked : UpdateState::Available;
}

Inventory ReadListedKeys(KvUsbEnumerator& enumerator, const std::vector<unsigned>& indices,
                         bool withUsbDetails, TickSource& ticks, EphemeralKeySource& keySource) {
  auto* listing = dynamic_cast<UsbKeyListing*>(&enumerator);
  Inventory inventory;
  inventory.listed = enumerator.GetCount();
  for (const unsigned index : indices) {
    KeyRecord record;
    record.identity = enumerator.GetIdentity(index);
    ReadKey(enumerator, index, ticks, keySource, record);
    // Asked for after the key was closed: on Windows describing it opens it once more.
    if (withUsbDetails && listing != nullptr) {
      record.usb = listing->GetDetails(index);
    }
    inventory.keys.push_back(std::move(record));
  }
  if (const auto* report = dynamic_cast<const UsbAccessReport*>(&enumerator)) {
    inventory.uninspected = report->GetInaccessiblePaths();
  }
  return inventory;
}

ExitCode InventoryExitCode(const std::vector<KeyRecord>& keys) {
  const auto notReached = [](const KeyRecord& key) { return key.access != KeyAccess::Ok; };
  if (keys.empty() || std::any_of(keys.begin(), keys.end(), notReached)) {
    return ExitCode::ExitNoDevice;
  }
  const auto notRead = [](const KeyRecord& key) { return key.statusError.has_value(); };
  return std::any_of(keys.begin(), keys.end(), notRead) ? ExitCode::ExitStatusFailed
                                                        : ExitCode::ExitOk;
}

}  // namespace nevrik
