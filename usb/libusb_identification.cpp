#include "usb/libusb_identification.h"

#include <optional>
#include <span>
#include <vector>

#include "usb/libusb_support.h"
#include "usb/ms_os20_descriptors.h"
#include "usb/usb_string_descriptor.h"

namespace nevrik {

namespace {

// MS OS 2.0 descriptors need the BOS descriptor, which came with USB 2.01.
constexpr std::uint16_t FirstUsbVersionWithBos = 0x0201;
constexpr std::uint8_t VendorSpecificClass = 0xFF;
constexpr std::uint8_t VendorDeviceToHost = 0xC0;  // device to host, vendor, device
constexpr std::uint8_t StandardDeviceToHost = 0x80;
constexpr std::uint8_t GetDescriptorRequest = 0x06;
constexpr std::uint16_t StringDescriptorType = 0x03;
// bLength is one byte: no string descriptor is longer.
constexpr std::uint16_t StringDescriptorLimit = 255;
// What USB 2.0 (9.2.6.4) allows a device for a request with a data stage.
constexpr unsigned IdentificationTimeout = 5000;

bool HasVendorSpecificInterface(const libusb_config_descriptor& configuration) {
  for (int i = 0; i < configuration.bNumInterfaces; ++i) {
    const libusb_interface& interface = configuration.interface[i];
    for (int j = 0; j < interface.num_altsetting; ++j) {
      if (interface.altsetting[j].bAlternateSetting == 0 &&
          interface.altsetting[j].bInterfaceClass == VendorSpecificClass) {
        return true;
      }
    }
  }
  return false;
}

// The index of the active configuration among the device's configurations, the number that
// configuration subsets of a descriptor set carry.
std::optional<std::uint8_t> ConfigurationIndex(libusb_device* device,
                                               const libusb_device_descriptor& deviceDescriptor,
                                               std::uint8_t configurationValue) {
  for (std::uint8_t index = 0; index < deviceDescriptor.bNumConfigurations; ++index) {
    libusb_config_descriptor* configuration = nullptr;
    if (libusb_get_config_descriptor(device, index, &configuration) != LIBUSB_SUCCESS) {
      continue;
    }
    const LibUsbConfiguration owned(configuration);
    if (owned->bConfigurationValue == configurationValue) {
      return index;
    }
  }
  return std::nullopt;
}

std::optional<MsOs20DescriptorSetInfo> FindMsOs20Capability(libusb_device_handle* handle) {
  libusb_bos_descriptor* bos = nullptr;
  if (libusb_get_bos_descriptor(handle, &bos) != LIBUSB_SUCCESS) {
    return std::nullopt;
  }
  std::optional<MsOs20DescriptorSetInfo> info;
  for (std::uint8_t i = 0; i < bos->bNumDeviceCaps && !info; ++i) {
    const libusb_bos_dev_capability_descriptor* capability = bos->dev_capability[i];
    // libusb keeps each capability as its bytes from the device, bLength of them.
    info = ReadMsOs20PlatformCapability(
        std::span(reinterpret_cast<const std::uint8_t*>(capability), capability->bLength));
  }
  libusb_free_bos_descriptor(bos);
  return info;
}

std::optional<std::vector<std::uint8_t>> ReadStringDescriptor(libusb_device_handle* handle,
                                                              std::uint8_t index,
                                                              std::uint16_t language) {
  std::vector<std::uint8_t> descriptor(StringDescriptorLimit);
  const int received = libusb_control_transfer(
      handle, StandardDeviceToHost, GetDescriptorRequest,
      static_cast<std::uint16_t>((StringDescriptorType << 8) | index), language, descriptor.data(),
      StringDescriptorLimit, IdentificationTimeout);
  if (received < 0) {
    return std::nullopt;
  }
  descriptor.resize(static_cast<std::size_t>(received));
  return descriptor;
}

std::optional<std::string> ReadSerialNumber(libusb_device_handle* handle,
                                            std::uint8_t serialIndex) {
  if (serialIndex == 0) {
    return std::nullopt;
  }
  const std::optional<std::vector<std::uint8_t>> languages = ReadStringDescriptor(handle, 0, 0);
  if (!languages) {
    return std::nullopt;
  }
  const std::optional<std::vector<std::uint8_t>> serial =
      ReadStringDescriptor(handle, serialIndex, ChooseUsbLanguage(*languages));
  return serial ? DecodeUsbString(*serial) : std::nullopt;
}

}  // namespace

KeyIdentification IdentifyKey(libusb_device* device, std::string_view interfaceGuid) {
  libusb_device_descriptor deviceDescriptor{};
  if (libusb_get_device_descriptor(device, &deviceDescriptor) != LIBUSB_SUCCESS ||
      deviceDescriptor.bcdUSB < FirstUsbVersionWithBos) {
    return {};
  }
  const LibUsbConfiguration configuration = ActiveConfiguration(device);
  if (!configuration || !HasVendorSpecificInterface(*configuration)) {
    return {};
  }
  const std::optional<std::uint8_t> configurationIndex =
      ConfigurationIndex(device, deviceDescriptor, configuration->bConfigurationValue);
  if (!configurationIndex) {
    return {};
  }

  libusb_device_handle* opened = nullptr;
  const int openError = libusb_open(device, &opened);
  if (openError == LIBUSB_ERROR_ACCESS) {
    return {KeyIdentification::Kind::Inaccessible, 0, std::nullopt};
  }
  if (openError != LIBUSB_SUCCESS) {
    return {};
  }
  const LibUsbHandle handle(opened);

  const std::optional<MsOs20DescriptorSetInfo> info = FindMsOs20Capability(handle.get());
  if (!info) {
    return {};
  }
  std::vector<std::uint8_t> descriptorSet(info->totalLength);
  const int received = libusb_control_transfer(handle.get(), VendorDeviceToHost, info->vendorCode,
                                               0, MsOs20DescriptorIndex, descriptorSet.data(),
                                               info->totalLength, IdentificationTimeout);
  if (received < 0) {
    return {};
  }
  const std::optional<std::uint8_t> interfaceNumber =
      FindInterfaceOfClass(std::span(descriptorSet).first(static_cast<std::size_t>(received)),
                           *configurationIndex, interfaceGuid);
  if (!interfaceNumber || DefaultSetting(*configuration, *interfaceNumber) == nullptr) {
    return {};
  }
  return {KeyIdentification::Kind::Key, *interfaceNumber,
          ReadSerialNumber(handle.get(), deviceDescriptor.iSerialNumber)};
}

}  // namespace nevrik
