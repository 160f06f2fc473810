#include <string>

#include "usb/libusb_device_path.h"

namespace nevrik {

// Without device nodes under /dev, a device is known by the numbers system tools show.
std::wstring OsDevicePath(libusb_device* device) {
  return L"bus " + std::to_wstring(libusb_get_bus_number(device)) + L" address " +
         std::to_wstring(libusb_get_device_address(device));
}

}  // namespace nevrik
