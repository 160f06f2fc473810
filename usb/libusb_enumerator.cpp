#include "usb/libusb_enumerator.h"

#include <algorithm>
#include <utility>

#include "usb/libusb_device.h"
#include "usb/libusb_device_path.h"
#include "usb/libusb_identification.h"

namespace nevrik {

LibUsbEnumerator::LibUsbEnumerator(std::string interfaceGuid)
    : interfaceGuid(std::move(interfaceGuid)) {}

bool LibUsbEnumerator::Enumerate() {
  devicePaths.clear();
  inaccessibleCount = 0;
  if (!context) {
    context = StartLibUsb();
    if (!context) {
      return false;
    }
  }
  const LibUsbDeviceList list(context.get());
  std::vector<LibUsbDeviceLocation> keys;
  for (libusb_device* device : list.Devices()) {
    const KeyIdentification identification = IdentifyKey(device, interfaceGuid);
    if (identification.kind == KeyIdentification::Kind::Key) {
      keys.push_back(LocateDevice(device, identification.interfaceNumber));
    } else if (identification.kind == KeyIdentification::Kind::Inaccessible) {
      ++inaccessibleCount;
    }
  }
  // libusb lists devices in an order of its own; the port order stays the same from run to run.
  std::sort(keys.begin(), keys.end(), ListedBefore);
  for (const LibUsbDeviceLocation& key : keys) {
    devicePaths.push_back(FormatDevicePath(key));
  }
  return !devicePaths.empty();
}

UsbOpenResult LibUsbEnumerator::OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) {
  device.reset();
  try {
    if (index >= devicePaths.size()) {
      return UsbOpenResult::OpenFailed;
    }
    auto opened = std::make_unique<LibUsbDevice>(context);
    const UsbOpenResult result = opened->OpenWithResult(devicePaths[index], false);
    if (result == UsbOpenResult::Opened) {
      device = std::move(opened);
    }
    return result;
  } catch (...) {
    device.reset();
    return UsbOpenResult::OpenFailed;
  }
}

std::unique_ptr<KvUsbDevice> LibUsbEnumerator::OpenDeviceOrNull(unsigned index) {
  auto opened = std::make_unique<LibUsbDevice>(context);
  if (!opened->Open(devicePaths.at(index), false)) {
    return nullptr;
  }
  return opened;
}

}  // namespace nevrik
