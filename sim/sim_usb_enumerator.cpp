#include "sim/sim_usb_enumerator.h"

#include <algorithm>
#include <stdexcept>

#include "sim/sim_usb_device.h"

namespace nevrik {

void SimUsbEnumerator::Attach(std::shared_ptr<SimUsbFunction> key, UsbOpenResult openResult) {
  attached.push_back(AttachedKey{std::move(key), openResult});
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
  for (const AttachedKey& entry : attached) {
    listed.push_back(entry.key);
  }
  return !listed.empty();
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
