#pragma once

#include <memory>

#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// The enumerator of this platform's USB backend, looking for NEVRIK devices. Defined once per
// platform (platform_enumerator_<platform>.cpp); CMake builds the one that fits.
std::unique_ptr<KvUsbEnumerator> MakePlatformEnumerator();

}  // namespace nevrik
