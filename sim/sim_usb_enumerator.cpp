#include "sim/sim_usb_enumerator.h"

#include <algorithm>
#include <stdexcept>

#include "sim/sim_usb_device.h"
#include "usb/usb_string_descriptor.h"

namespace nevrik {

namespace {

// Offsets in the standard device descriptor.
constexpr std::size_t VendorIdOffset = 8;
constexpr std::size_t ProductIdOffset = 10;
constexpr std::size_t SerialIndexOffset = 16;
constexpr std::size_t DeviceDescriptorLength = 18;

UsbKeyIdentity IdentityOf(const SimUsbFunction& key, unsigned slot) {
  UsbKeyIdentity identity;
  identity.path = L"sim:" + std::to_wstring(slot);
  identity.location = "sim-" + std::to_string(slot);
  const std::vector<std::uint8_t> device = key.DeviceDescriptor();
  if (device.size() < DeviceDescriptorLength) {
    return identity;
  }
  identity.vendorId =
      static_cast<std::uint16_t>(device[VendorIdOffset] | (device[VendorIdOffset + 1] << 8));
  identity.productId =
      static_cast<std::uint16_t>(device[ProductIdOffset] | (device[ProductIdOffset + 1] << 8));
  const std::uint8_t serialIndex = device[SerialIndexOffset];
  if (serialIndex != 0) {
    if (const auto serial = key.StringDescriptor(serialIndex)) {
      identity.serialNumber = DecodeUsbString(*serial);
    }
  }
  return identity;
}

}  // namespace

void SimUsbEnumerator::Attach(std::shared_ptr<SimUsbFunction> key, UsbOpenResult openResult) {
  attached.push_back(AttachedKey{std::move(key), openResult, ++attachments});
}

void SimUsbEnumerator::Detach(const SimUsbFunction& key) {
  std::erase_if(attached, [&](const AttachedKey& entry) { return entry.key.get() == &key; });
}

void SimUsbEnumerator::SetOpenResult(const SimUsbFunction& key, UsbOpenResult openResult) {
  for (AttachedKey& entry : attached) {
    if (entry.key.get() == &key) {
      entry.openResult = openResult;
    }
  }
}

bool SimUsbEnumerator::Enumerate() {
  listed.clear();
  identities.clear();
  for (const AttachedKey& entry : attached) {
    listed.push_back(entry.key);
    identities.push_back(IdentityOf(*entry.key, entry.slot));
  }
  return !listed.empty();
}

UsbKeyIdentity SimUsbEnumerator::GetIdentity(unsigned index) const {
  return index < identities.size() ? identities[index] : UsbKeyIdentity{};
}

UsbOpenResult SimUsbEnumerator::Open(const SimUsbFunction* key,
                                     std::unique_ptr<KvUsbDevice>& device) {
  const auto entry = std::find_if(attached.begin(), attached.end(), [&](const AttachedKey& item) {
    return key != nullptr && item.key.get() == key;
  });
  if (entry == attached.end()) {
    return UsbOpenResult::PathNotFound;
  }
  if (entry->openResult != UsbOpenResult::Opened) {
    return entry->openResult;
  }
  device = std::make_unique<SimUsbDevice>(entry->key);
  ++opened;
  return UsbOpenResult::Opened;
}

UsbOpenResult SimUsbEnumerator::OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) {
  device.reset();
  if (index >= listed.size()) {
    return UsbOpenResult::OpenFailed;
  }
  try {
    return Open(listed[index].lock().get(), device);
  } catch (...) {
    device.reset();
    return UsbOpenResult::OpenFailed;
  }
}

std::unique_ptr<KvUsbDevice> SimUsbEnumerator::OpenDeviceOrNull(unsigned index) {
  if (index >= listed.size()) {
    throw std::out_of_range("SimUsbEnumerator: device index out of range");
  }
  std::unique_ptr<KvUsbDevice> device;
  Open(listed[index].lock().get(), device);
  return device;
}

}  // namespace nevrik
