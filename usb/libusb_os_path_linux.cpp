#include <cwchar>

#include "usb/libusb_device_path.h"

namespace nevrik {

std::wstring OsDevicePath(libusb_device* device) {
  wchar_t path[32];
  std::swprintf(path, sizeof path / sizeof path[0], L"/dev/bus/usb/%03u/%03u",
                static_cast<unsigned>(libusb_get_bus_number(device)),
                static_cast<unsigned>(libusb_get_device_address(device)));
  return path;
}

}  // namespace nevrik
