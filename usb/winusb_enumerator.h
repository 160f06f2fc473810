#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "usb/kv_usb_device.h"
#include "usb/kv_usb_enumerator.h"
#include "usb/usb_key_listing.h"
#include "usb/usb_open_result.h"

namespace nevrik {

// KvUsbEnumerator over SetupAPI: the device paths of the present devices that expose the
// device interface class given at construction, opened as WinUsbDevice.
class WinUsbEnumerator : public KvUsbEnumerator, public UsbKeyListing {
 public:
  explicit WinUsbEnumerator(const GUID& interfaceClass);

  // A member whose interface cannot be listed or whose path has no size is skipped; when a path
  // cannot be read, or 16 members in a row cannot be listed, enumeration ends with the paths
  // found so far.
  bool Enumerate() override;
  bool IsEmpty() const override;
  unsigned GetCount() const override;
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) override;
  std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) override;

  // All from the device interface path, "\\?\usb#vid_XXXX&pid_XXXX#SERIAL#{class}": the path
  // itself, vendor and product ID, and the serial number as the device instance ID carries it
  // (Windows folds its letters to upper case); none when Windows made up an instance ID because
  // the device has no serial number (the part then holds '&'). The location is the first of the
  // device's location paths, such as "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)" (the port
  // path from the host controller), which listing read; empty when the platform gave none.
  UsbKeyIdentity GetIdentity(unsigned index) const override;
  // The class given at construction; the interface number and endpoints from opening the
  // device, when it can be opened.
  std::optional<UsbKeyDetails> GetDetails(unsigned index) override;

 private:
  GUID interfaceClass;
  std::vector<std::wstring> devicePaths;
  std::vector<std::string> locations;  // beside devicePaths
};

}  // namespace nevrik
