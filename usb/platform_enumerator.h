#pragma once

#include <memory>

#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// The enumerator of NEVRIK keys on this platform: WinUSB and SetupAPI on Windows, libusb
// elsewhere. Defined once per backend (platform_enumerator_windows.cpp, ..._libusb.cpp).
std::unique_ptr<KvUsbEnumerator> MakePlatformEnumerator();

}  // namespace nevrik
