#include "usb/libusb_support.h"

namespace nevrik {

LibUsbContext StartLibUsb() {
  libusb_context* context = nullptr;
  if (libusb_init(&context) != LIBUSB_SUCCESS) {
    return nullptr;
  }
  return LibUsbContext(context, libusb_exit);
}

LibUsbDeviceList::LibUsbDeviceList(libusb_context* context) {
  const ssize_t listed = libusb_get_device_list(context, &list);
  if (listed < 0) {
    list = nullptr;
    return;
  }
  count = static_cast<std::size_t>(listed);
}

LibUsbDeviceList::~LibUsbDeviceList() {
  if (list != nullptr) {
    libusb_free_device_list(list, 1);
  }
}

LibUsbConfiguration ActiveConfiguration(libusb_device* device) {
  libusb_config_descriptor* configuration = nullptr;
  if (libusb_get_active_config_descriptor(device, &configuration) != LIBUSB_SUCCESS) {
    return nullptr;
  }
  return LibUsbConfiguration(configuration);
}

const libusb_interface_descriptor* DefaultSetting(const libusb_config_descriptor& configuration,
                                                  std::uint8_t interfaceNumber) {
  for (int i = 0; i < configuration.bNumInterfaces; ++i) {
    const libusb_interface& interface = configuration.interface[i];
    for (int j = 0; j < interface.num_altsetting; ++j) {
      const libusb_interface_descriptor& setting = interface.altsetting[j];
      if (setting.bInterfaceNumber == interfaceNumber && setting.bAlternateSetting == 0) {
        return &setting;
      }
    }
  }
  return nullptr;
}

int AlternateSettingCount(const libusb_config_descriptor& configuration,
                          std::uint8_t interfaceNumber) {
  int count = 0;
  for (int i = 0; i < configuration.bNumInterfaces; ++i) {
    const libusb_interface& interface = configuration.interface[i];
    for (int j = 0; j < interface.num_altsetting; ++j) {
      count += interface.altsetting[j].bInterfaceNumber == interfaceNumber ? 1 : 0;
    }
  }
  return count;
}

}  // namespace nevrik
