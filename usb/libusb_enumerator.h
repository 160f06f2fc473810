#pragma once

#include <memory>
#include <string>
#include <vector>

#include "usb/kv_usb_enumerator.h"
#include "usb/libusb_device_path.h"
#include "usb/libusb_support.h"
#include "usb/usb_access_report.h"
#include "usb/usb_key_listing.h"

namespace nevrik {

// KvUsbEnumerator over libusb-1.0: lists the devices that announce a device interface class in
// their Microsoft OS 2.0 descriptors (see IdentifyKey) and opens them as LibUsbDevice. Keys are
// listed by bus, then port path. Devices it opens share its libusb session, which lasts until
// the last of them and the enumerator are gone.
//
// A machine where libusb cannot start simply has no devices. A candidate this process may not
// open to inspect is skipped and counted (UsbAccessReport), so that the application can tell
// "no key" apart from "no permission to look". Each key's identity and what it announced are kept
// from listing it (UsbKeyListing), so describing it sends nothing more. Nothing here prints.
class LibUsbEnumerator final : public KvUsbEnumerator,
                               public UsbAccessReport,
                               public UsbKeyListing {
 public:
  // interfaceGuid in the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
  explicit LibUsbEnumerator(std::string interfaceGuid);

  bool Enumerate() override;
  bool IsEmpty() const override { return keys.empty(); }
  unsigned GetCount() const override { return static_cast<unsigned>(keys.size()); }
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) override;
  std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) override;

  unsigned GetInaccessibleCount() const override {
    return static_cast<unsigned>(inaccessiblePaths.size());
  }
  std::vector<std::wstring> GetInaccessiblePaths() const override { return inaccessiblePaths; }

  // The location is the kernel's name for the port: "BUS-PORT[.PORT...]", e.g. "1-4.2".
  UsbKeyIdentity GetIdentity(unsigned index) const override;
  std::optional<UsbKeyDetails> GetDetails(unsigned index) override;

 private:
  struct ListedKey {
    LibUsbDeviceLocation location;
    UsbKeyIdentity identity;
    UsbKeyDetails details;
  };

  std::string interfaceGuid;
  LibUsbContext context;
  std::vector<ListedKey> keys;  // in port order
  std::vector<std::wstring> inaccessiblePaths;
};

}  // namespace nevrik
