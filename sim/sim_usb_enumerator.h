#pragma once

#include <memory>
#include <vector>

#include "sim/usb_function.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// A KvUsbEnumerator over simulated keys, for tests: zero, one or several keys are attached, and
// Enumerate lists those attached at that moment, in attachment order. As with real devices, the
// list does not follow later changes: a listed key that was detached since opens as
// PathNotFound. A key can be made to refuse opening with PathNotFound, AccessDenied or
// OpenFailed. Opened devices are SimUsbDevices that share the key with the test, so they stay
// usable after the enumerator is deleted. A key's identity comes from its descriptors, as the
// operating system would have read them when it was plugged in, without a request to the key;
// its path is "sim:N" and its location "sim-N", N counting attachments from 1.
class SimUsbEnumerator : public KvUsbEnumerator {
 public:
  void Attach(std::shared_ptr<SimUsbFunction> key,
              UsbOpenResult openResult = UsbOpenResult::Opened);
  void Detach(const SimUsbFunction& key);
  // How opening the key answers from now on.
  void SetOpenResult(const SimUsbFunction& key, UsbOpenResult openResult);

  bool Enumerate() override;
  bool IsEmpty() const override { return listed.empty(); }
  unsigned GetCount() const override { return static_cast<unsigned>(listed.size()); }
  UsbKeyIdentity GetIdentity(unsigned index) const override;
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) override;
  std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) override;

  // Devices handed out so far.
  unsigned OpenedCount() const { return opened; }

 private:
  struct AttachedKey {
    std::shared_ptr<SimUsbFunction> key;
    UsbOpenResult openResult = UsbOpenResult::Opened;
    unsigned slot = 0;  // its attachment's number
  };

  UsbOpenResult Open(const SimUsbFunction* key, std::unique_ptr<KvUsbDevice>& device);

  std::vector<AttachedKey> attached;
  std::vector<std::weak_ptr<SimUsbFunction>> listed;
  std::vector<UsbKeyIdentity> identities;  // beside listed
  unsigned attachments = 0;
  unsigned opened = 0;
};

}  // namespace nevrik
