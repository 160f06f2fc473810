#include "usb/libusb_enumerator.h"
#include "usb/platform_enumerator.h"

namespace nevrik {

namespace {

// The NEVRIK device interface class, as keys announce it in their MS OS 2.0 descriptors.
constexpr const char* NevrikInterfaceGuid = "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}";

}  // namespace

std::unique_ptr<KvUsbEnumerator> MakePlatformEnumerator() {
  return std::make_unique<LibUsbEnumerator>(NevrikInterfaceGuid);
}

}  // namespace nevrik
