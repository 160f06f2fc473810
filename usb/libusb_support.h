#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <span>

namespace nevrik {

// A libusb session. The enumerator and every device it opens share one, so the session ends
// when the last of them is gone, whichever that is.
using LibUsbContext = std::shared_ptr<libusb_context>;

// The packet size in an endpoint's wMaxPacketSize; bits 11-12 count extra high-speed packets.
inline constexpr std::uint16_t MaxPacketSizeMask = 0x07FF;

// A new session; null when libusb cannot start (a machine without USB support), which callers
// treat as a machine without USB devices.
LibUsbContext StartLibUsb();

// The devices libusb sees now; the list and its references are released with it.
class LibUsbDeviceList {
 public:
  explicit LibUsbDeviceList(libusb_context* context);
  ~LibUsbDeviceList();
  LibUsbDeviceList(const LibUsbDeviceList&) = delete;
  LibUsbDeviceList& operator=(const LibUsbDeviceList&) = delete;

  bool Listed() const { return list != nullptr; }
  std::span<libusb_device* const> Devices() const { return {list, count}; }

 private:
  libusb_device** list = nullptr;
  std::size_t count = 0;
};

struct LibUsbConfigurationRelease {
  void operator()(libusb_config_descriptor* configuration) const {
    libusb_free_config_descriptor(configuration);
  }
};
using LibUsbConfiguration = std::unique_ptr<libusb_config_descriptor, LibUsbConfigurationRelease>;

struct LibUsbHandleClose {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using LibUsbHandle = std::unique_ptr<libusb_device_handle, LibUsbHandleClose>;

// The active configuration from the descriptors libusb keeps, without a request to the device;
// null when the device is not configured or its descriptors cannot be read.
LibUsbConfiguration ActiveConfiguration(libusb_device* device);

// Alternate setting 0 of an interface of the configuration; null when there is no such
// interface.
const libusb_interface_descriptor* DefaultSetting(const libusb_config_descriptor& configuration,
                                                  std::uint8_t interfaceNumber);

// How many alternate settings an interface of the configuration has.
int AlternateSettingCount(const libusb_config_descriptor& configuration,
                          std::uint8_t interfaceNumber);

}  // namespace nevrik
