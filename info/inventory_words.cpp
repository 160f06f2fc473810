#include "info/inventory_words.h"

#include <string>

#include "app/identity_words.h"

namespace nevrik {

namespace {

const char* SoPinWords(SoPinState state) {
  switch (state) {
    case SoPinState::None:
      return "no SO PIN";
    case SoPinState::Set:
      return "SO PIN set";
    case SoPinState::Locked:
      return "SO PIN locked";
  }
  return "";
}

const char* UpdateWords(UpdateState state) {
  switch (state) {
    case UpdateState::Available:
      return "update available";
    case UpdateState::NotNeeded:
      return "no update needed";
    case UpdateState::Blocked:
      return "update blocked by the locked SO PIN";
  }
  return "";
}

void WriteKeyLine(std::FILE* out, const KeyRecord& key) {
  std::fprintf(out, "%ls (%s): ", key.identity.path.c_str(), IdentityWords(key.identity).c_str());
  switch (key.access) {
    case KeyAccess::InUse:
      std::fprintf(out, "held by another program\n");
      return;
    case KeyAccess::Unreachable:
      std::fprintf(out, "cannot access it\n");
      return;
    case KeyAccess::Ok:
      break;
  }
  if (key.statusError) {
    std::fprintf(out, "status not read: %s\n", StatusCodeName(*key.statusError));
    return;
  }
  std::fprintf(out, "firmware %u.%u, %s, %s\n", key.status->FirmwareMajor(),
               key.status->FirmwareMinor(), SoPinWords(key.SoPin()), UpdateWords(key.Update()));
}

void WriteUsbLine(std::FILE* out, const UsbKeyIdentity& identity, const UsbKeyDetails& usb) {
  std::fprintf(out, "  USB %04x:%04x, interface %u, endpoints",
               static_cast<unsigned>(identity.vendorId), static_cast<unsigned>(identity.productId),
               static_cast<unsigned>(usb.interfaceNumber));
  if (usb.endpoints.empty()) {
    std::fprintf(out, " unknown");
  }
  for (std::size_t i = 0; i < usb.endpoints.size(); ++i) {
    const UsbEndpoint& endpoint = usb.endpoints[i];
    std::fprintf(out, "%s 0x%02x %s %u bytes", i == 0 ? "" : ",", endpoint.address,
                 (endpoint.address & 0x80) != 0 ? "IN" : "OUT",
                 static_cast<unsigned>(endpoint.maxPacketSize));
  }
  std::fprintf(out, ", interface GUID %s\n", usb.interfaceGuid.c_str());
}

}  // namespace

void WriteInventoryWords(std::FILE* out, const PackSummary& pack, const Inventory& inventory,
                         bool verbose) {
  const std::vector<KeyRecord>& keys = inventory.keys;
  std::fprintf(out, "pack: firmware %u.%u, image %u bytes, SHA-256 %s%s\n",
               pack.firmware.versionMajor, pack.firmware.versionMinor,
               static_cast<unsigned>(pack.imageSize), pack.ImageSha256Hex().c_str(),
               pack.testData ? " (test data, not firmware: it updates only simulated keys)" : "");
  if (keys.empty() && inventory.listed == 0) {
    std::fprintf(out, "No NEVRIK found.\n");
  }
  for (const KeyRecord& key : keys) {
    WriteKeyLine(out, key);
    if (verbose && key.usb) {
      WriteUsbLine(out, key.identity, *key.usb);
    }
  }
  for (const std::wstring& path : inventory.uninspected) {
    std::fprintf(out, "%ls: no permission to inspect it\n", path.c_str());
  }
  std::fflush(out);
}

}  // namespace nevrik
