#pragma once

#include <memory>

#include "usb/kv_usb_device.h"
#include "usb/usb_key_identity.h"
#include "usb/usb_open_result.h"

namespace nevrik {

// Lists the present NEVRIK devices and opens one of them. The list is rebuilt by every
// Enumerate and does not follow plugging in between: a listed device that has gone opens as
// PathNotFound. A device handed out belongs to the caller and does not refer back to the
// enumerator, which may be deleted while the device stays in use. Nothing here prints.
//
// Implementations: WinUsbEnumerator (Windows), LibUsbEnumerator (elsewhere), SimUsbEnumerator.
class KvUsbEnumerator {
 public:
  virtual ~KvUsbEnumerator() = default;

  // Replaces the list with the devices present now; true when at least one was found.
  virtual bool Enumerate() = 0;
  virtual bool IsEmpty() const = 0;
  virtual unsigned GetCount() const = 0;

  // Who the listed device at index is, as listing it found out; sends nothing to the device. An
  // index at or beyond the count gives an empty identity (vendor and product ID 0).
  virtual UsbKeyIdentity GetIdentity(unsigned index) const = 0;

  // Opens the device at index with short-packet termination off on every pipe. On Opened the
  // device is stored in `device`; otherwise `device` is null and no device is left allocated.
  // An index at or beyond the count, and any exception on the way, give OpenFailed.
  virtual UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) = 0;

  // As OpenDevice without a result code: null on any failure to open. An index at or beyond the
  // count throws std::out_of_range.
  virtual std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) = 0;
};

}  // namespace nevrik
