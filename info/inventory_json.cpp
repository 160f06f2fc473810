#include "info/inventory_json.h"

#include <nlohmann/json.hpp>

#include "app/updater.h"
#include "app/wide_to_utf8.h"

namespace nevrik {

namespace {

using Json = nlohmann::ordered_json;

// "2.0.0.111" of "2.0.0.111 (2a12b68e)": the version number alone, as the packages carry it.
std::string UpdaterPackageVersion() {
  const std::string version = UpdaterVersion;
  return version.substr(0, version.find(' '));
}

std::string Version(unsigned major, unsigned minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

std::string Hex(unsigned value, int digits) {
  char text[8];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

const char* AccessName(KeyAccess access) {
  switch (access) {
    case KeyAccess::Ok:
      return "ok";
    case KeyAccess::InUse:
      return "in-use";
    case KeyAccess::Unreachable:
      return "unreachable";
  }
  return "";
}

const char* SoPinName(SoPinState state) {
  switch (state) {
    case SoPinState::None:
      return "none";
    case SoPinState::Set:
      return "set";
    case SoPinState::Locked:
      return "locked";
  }
  return "";
}

const char* UpdateName(UpdateState state) {
  switch (state) {
    case UpdateState::Available:
      return "available";
    case UpdateState::NotNeeded:
      return "not-needed";
    case UpdateState::Blocked:
      return "blocked";
  }
  return "";
}

Json UsbObject(const UsbKeyIdentity& identity, const UsbKeyDetails& usb) {
  Json endpoints = Json::array();
  for (const UsbEndpoint& endpoint : usb.endpoints) {
    endpoints.push_back({{"address", "0x" + Hex(endpoint.address, 2)},
                         {"direction", (endpoint.address & 0x80) != 0 ? "in" : "out"},
                         {"max_packet_size", endpoint.maxPacketSize}});
  }
  return {{"vendor_id", Hex(identity.vendorId, 4)},
          {"product_id", Hex(identity.productId, 4)},
          {"interface", usb.interfaceNumber},
          {"endpoints", std::move(endpoints)},
          {"interface_guid", usb.interfaceGuid}};
}

Json KeyObject(const KeyRecord& key) {
  const UsbKeyIdentity& identity = key.identity;
  // The serial is valid UTF-8 by construction; the library escapes its control characters.
  Json object = {{"path", WideToUtf8(identity.path)},
                 {"serial", identity.serialNumber ? Json(*identity.serialNumber) : Json()},
                 {"location", identity.location.empty() ? Json() : Json(identity.location)},
                 {"access", AccessName(key.access)}};
  if (key.status) {
    object["firmware"] = Version(key.status->FirmwareMajor(), key.status->FirmwareMinor());
    object["so_pin"] = SoPinName(key.SoPin());
    object["update"] = UpdateName(key.Update());
  }
  if (key.statusError) {
    object["error"] = StatusCodeName(*key.statusError);
  }
  if (key.usb) {
    object["usb"] = UsbObject(identity, *key.usb);
  }
  return object;
}

}  // namespace

std::string InventoryJson(const PackSummary& pack, const Inventory& inventory) {
  Json document = {
      {"schema", InventorySchema},
      {"updater", {{"version", UpdaterPackageVersion()}}},
      {"pack",
       {{"firmware", Version(pack.firmware.versionMajor, pack.firmware.versionMinor)},
        {"image_size", pack.imageSize},
        {"image_sha256", pack.ImageSha256Hex()},
        {"test_data", pack.testData}}},
  };
  Json list = Json::array();
  for (const KeyRecord& key : inventory.keys) {
    list.push_back(KeyObject(key));
  }
  document["keys"] = std::move(list);
  Json uninspected = Json::array();
  for (const std::wstring& path : inventory.uninspected) {
    uninspected.push_back({{"path", WideToUtf8(path)}, {"reason", "no-permission"}});
  }
  document["uninspected"] = std::move(uninspected);
  // Never throws for text that is not UTF-8: such bytes are replaced.
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace nevrik
