#include "usb/platform_enumerator.h"

#include <windows.h>

#include "usb/winusb_enumerator.h"

namespace nevrik {
namespace {

// The device interface class that the NEVRIK driver registers,
// {EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}.
constexpr GUID NevrikInterfaceClass = {
    0xEB3FB26E, 0x7AC7, 0x4D70, {0xB7, 0xA7, 0xF3, 0x47, 0x62, 0x3E, 0x99, 0xB6}};

}  // namespace

std::unique_ptr<KvUsbEnumerator> MakePlatformEnumerator() {
  return std::make_unique<WinUsbEnumerator>(NevrikInterfaceClass);
}

}  // namespace nevrik
