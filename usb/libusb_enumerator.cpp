#include "usb/libusb_enumerator.h"

#include <algorithm>
#include <utility>

#include "usb/libusb_device.h"
#include "usb/libusb_device_path.h"
#include "usb/libusb_identification.h"

namespace nevrik {

namespace {

constexpr std::uint8_t TransferTypeMask = 0x03;
constexpr std::uint8_t TransferTypeBulk = 0x02;

// The bulk endpoints of the key's interface, from the descriptors libusb keeps.
std::vector<UsbEndpoint> BulkEndpoints(libusb_device* device, std::uint8_t interfaceNumber) {
  std::vector<UsbEndpoint> endpoints;
  const LibUsbConfiguration configuration = ActiveConfiguration(device);
  const libusb_interface_descriptor* setting =
      configuration ? DefaultSetting(*configuration, interfaceNumber) : nullptr;
  for (int i = 0; setting != nullptr && i < setting->bNumEndpoints; ++i) {
    const libusb_endpoint_descriptor& endpoint = setting->endpoint[i];
    if ((endpoint.bmAttributes & TransferTypeMask) == TransferTypeBulk) {
      endpoints.push_back(
          {endpoint.bEndpointAddress,
           static_cast<std::uint16_t>(endpoint.wMaxPacketSize & MaxPacketSizeMask)});
    }
  }
  return endpoints;
}

}  // namespace

LibUsbEnumerator::LibUsbEnumerator(std::string interfaceGuid)
    : interfaceGuid(std::move(interfaceGuid)) {}

bool LibUsbEnumerator::Enumerate() {
  keys.clear();
  inaccessiblePaths.clear();
  if (!context) {
    context = StartLibUsb();
    if (!context) {
      return false;
    }
  }
  const LibUsbDeviceList list(context.get());
  std::vector<std::pair<LibUsbDeviceLocation, std::wstring>> inaccessible;
  for (libusb_device* device : list.Devices()) {
    const KeyIdentification identification = IdentifyKey(device, interfaceGuid);
    if (identification.kind == KeyIdentification::Kind::Key) {
      libusb_device_descriptor descriptor{};
      libusb_get_device_descriptor(device, &descriptor);
      const std::uint8_t interfaceNumber = identification.interfaceNumber;
      const LibUsbDeviceLocation location = LocateDevice(device, interfaceNumber);
      keys.push_back({location,
                      UsbKeyIdentity{OsDevicePath(device), descriptor.idVendor,
                                     descriptor.idProduct, identification.serialNumber,
                                     FormatPortPath(location)},
                      UsbKeyDetails{interfaceNumber, BulkEndpoints(device, interfaceNumber),
                                    interfaceGuid}});
    } else if (identification.kind == KeyIdentification::Kind::Inaccessible) {
      inaccessible.emplace_back(LocateDevice(device, 0), OsDevicePath(device));
    }
  }
  // libusb lists devices in an order of its own; the port order stays the same from run to run.
  std::sort(keys.begin(), keys.end(), [](const ListedKey& left, const ListedKey& right) {
    return ListedBefore(left.location, right.location);
  });
  std::sort(inaccessible.begin(), inaccessible.end(), [](const auto& left, const auto& right) {
    return ListedBefore(left.first, right.first);
  });
  for (auto& [location, osPath] : inaccessible) {
    inaccessiblePaths.push_back(std::move(osPath));
  }
  return !keys.empty();
}

UsbOpenResult LibUsbEnumerator::OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) {
  device.reset();
  try {
    if (index >= keys.size()) {
      return UsbOpenResult::OpenFailed;
    }
    auto opened = std::make_unique<LibUsbDevice>(context);
    const UsbOpenResult result =
        opened->OpenWithResult(FormatDevicePath(keys[index].location), false);
    if (result == UsbOpenResult::Opened) {
      device = std::move(opened);
    }
    return result;
  } catch (...) {
    device.reset();
    return UsbOpenResult::OpenFailed;
  }
}

UsbKeyIdentity LibUsbEnumerator::GetIdentity(unsigned index) const {
  return index < keys.size() ? keys[index].identity : UsbKeyIdentity{};
}

std::optional<UsbKeyDetails> LibUsbEnumerator::GetDetails(unsigned index) {
  if (index >= keys.size()) {
    return std::nullopt;
  }
  return keys[index].details;
}

std::unique_ptr<KvUsbDevice> LibUsbEnumerator::OpenDeviceOrNull(unsigned index) {
  auto opened = std::make_unique<LibUsbDevice>(context);
  if (!opened->Open(FormatDevicePath(keys.at(index).location), false)) {
    return nullptr;
  }
  return opened;
}

}  // namespace nevrik
