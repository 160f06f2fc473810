#include "sim/key_descriptors.h"

#include <algorithm>

namespace nevrik {
namespace {

constexpr std::uint8_t DeviceType = 0x01;
constexpr std::uint8_t ConfigurationType = 0x02;
constexpr std::uint8_t StringType = 0x03;
constexpr std::uint8_t InterfaceType = 0x04;
constexpr std::uint8_t EndpointType = 0x05;
constexpr std::uint8_t DeviceQualifierType = 0x06;
constexpr std::uint8_t BosType = 0x0F;
constexpr std::uint8_t DeviceCapabilityType = 0x10;
constexpr std::uint8_t Usb20ExtensionCapability = 0x02;
constexpr std::uint8_t PlatformCapability = 0x05;

constexpr std::uint32_t WindowsVersion81 = 0x06030000;
constexpr std::uint16_t MsOsSetHeader = 0x0000;
constexpr std::uint16_t MsOsConfigurationSubset = 0x0001;
constexpr std::uint16_t MsOsFunctionSubset = 0x0002;
constexpr std::uint16_t MsOsCompatibleId = 0x0003;
constexpr std::uint16_t MsOsRegistryProperty = 0x0004;
constexpr std::uint16_t RegSz = 1;
constexpr std::uint16_t RegMultiSz = 7;

// D8DD60DF-4589-4CC7-9CD2-659D9E648A9F in the little-endian GUID layout of USB descriptors.
constexpr std::uint8_t MsOs20PlatformUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                                 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& bytes, std::size_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void Put32(Bytes& bytes, std::uint32_t value) {
  Put16(bytes, value & 0xFFFF);
  Put16(bytes, value >> 16);
}

void Patch16(Bytes& bytes, std::size_t offset, std::size_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value & 0xFF);
  bytes[offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// The code points of UTF-8 text; a byte that starts no valid sequence stands for U+FFFD.
std::vector<char32_t> CodePoints(const std::string& text) {
  std::vector<char32_t> points;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = lead < 0x80 || (lead >= 0xC2 && lead <= 0xF4 && i + length <= text.size());
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      point = (point << 6) | (next & 0x3F);
    }
    const char32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
    valid = valid && point >= least && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    points.push_back(valid ? point : 0xFFFD);
    i += valid ? length : 1;
  }
  return points;
}

// UTF-8 text as UTF-16LE, optionally with its terminating zero character.
Bytes Utf16(const std::string& text, bool terminated) {
  Bytes bytes;
  for (const char32_t point : CodePoints(text)) {
    if (point >= 0x10000) {
      Put16(bytes, static_cast<std::uint16_t>(0xD800 + ((point - 0x10000) >> 10)));
      Put16(bytes, static_cast<std::uint16_t>(0xDC00 + ((point - 0x10000) & 0x3FF)));
    } else {
      Put16(bytes, static_cast<std::uint16_t>(point));
    }
  }
  if (terminated) {
    Put16(bytes, 0);
  }
  return bytes;
}

void PutInterface(Bytes& bytes, const SimKeyUsbConfig& config, std::uint8_t alternateSetting,
                  const std::vector<SimEndpoint>& endpoints) {
  bytes.insert(bytes.end(),
               {9, InterfaceType, 0, alternateSetting, static_cast<std::uint8_t>(endpoints.size()),
                config.interfaceClass, 0x00, 0x00, 0x00});
  for (const SimEndpoint& endpoint : endpoints) {
    bytes.insert(bytes.end(),
                 {7, EndpointType, endpoint.address, static_cast<std::uint8_t>(endpoint.type)});
    Put16(bytes, endpoint.maxPacketSize);
    bytes.push_back(endpoint.interval);
  }
}

Bytes RegistryProperty(const SimMsOs20Config& msOs) {
  Bytes name;
  Bytes data;
  std::uint16_t dataType = RegMultiSz;
  if (msOs.singleGuidProperty) {
    dataType = RegSz;
    name = Utf16("DeviceInterfaceGUID", true);
    data = Utf16(msOs.interfaceGuids.empty() ? std::string() : msOs.interfaceGuids.front(), true);
  } else {
    name = Utf16("DeviceInterfaceGUIDs", true);
    for (const std::string& guid : msOs.interfaceGuids) {
      const Bytes text = Utf16(guid, true);
      data.insert(data.end(), text.begin(), text.end());
    }
    Put16(data, 0);  // the list ends with an empty string
  }
  Bytes property;
  Put16(property, 10 + name.size() + data.size());
  Put16(property, MsOsRegistryProperty);
  Put16(property, dataType);
  Put16(property, name.size());
  property.insert(property.end(), name.begin(), name.end());
  Put16(property, data.size());
  property.insert(property.end(), data.begin(), data.end());
  return property;
}

}  // namespace

std::vector<SimEndpoint> SimKeyUsbConfig::ActiveEndpoints() const {
  if (!endpoints.empty()) {
    return endpoints;
  }
  return {SimEndpoint{0x01, SimEndpointType::Bulk, maxPacketSize, 0},
          SimEndpoint{0x81, SimEndpointType::Bulk, maxPacketSize, 0}};
}

SimKeyUsbConfig SimKeyUsbConfig::WithExtraEndpoints() {
  SimKeyUsbConfig config;
  config.endpoints = {{0x01, SimEndpointType::Bulk, 64, 0},
                      {0x81, SimEndpointType::Bulk, 64, 0},
                      {0x83, SimEndpointType::Interrupt, 16, 1},
                      {0x02, SimEndpointType::Bulk, 64, 0},
                      {0x82, SimEndpointType::Bulk, 64, 0}};
  return config;
}

bool SimKeyUsbConfig::HighSpeed() const {
  const std::vector<SimEndpoint> active = ActiveEndpoints();
  return std::any_of(active.begin(), active.end(), [](const SimEndpoint& endpoint) {
    return endpoint.type == SimEndpointType::Bulk && endpoint.maxPacketSize > 64;
  });
}

std::vector<std::uint8_t> BuildDeviceDescriptor(const SimKeyUsbConfig& config) {
  Bytes bytes{18, DeviceType};
  Put16(bytes, 0x0210);
  bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 64});  // class defined by the interface
  Put16(bytes, config.vendorId);
  Put16(bytes, config.productId);
  Put16(bytes, config.deviceRelease);
  // String indexes and one configuration.
  bytes.insert(bytes.end(), {1, 2, static_cast<std::uint8_t>(config.serialNumber ? 3 : 0), 1});
  return bytes;
}

std::vector<std::uint8_t> BuildConfigurationDescriptor(const SimKeyUsbConfig& config) {
  Bytes bytes{9, ConfigurationType, 0, 0, 1, 1, 0, 0x80, 50};  // bus powered, 100 mA
  PutInterface(bytes, config, 0, config.ActiveEndpoints());
  if (!config.alternateSetting1.empty()) {
    PutInterface(bytes, config, 1, config.alternateSetting1);
  }
  Patch16(bytes, 2, bytes.size());
  return bytes;
}

std::vector<std::uint8_t> BuildDeviceQualifierDescriptor() {
  Bytes bytes{10, DeviceQualifierType};
  Put16(bytes, 0x0210);
  bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 64, 1, 0});
  return bytes;
}

std::vector<std::uint8_t> BuildBosDescriptor(const SimKeyUsbConfig& config) {
  Bytes bytes{5, BosType, 0, 0, 1};
  bytes.insert(bytes.end(), {7, DeviceCapabilityType, Usb20ExtensionCapability, 0, 0, 0, 0});
  if (config.msOs20.present) {
    const std::size_t setLength =
        config.msOs20.announcedLength.value_or(BuildMsOs20DescriptorSet(config).size());
    bytes.insert(bytes.end(), {28, DeviceCapabilityType, PlatformCapability, 0});
    bytes.insert(bytes.end(), std::begin(MsOs20PlatformUuid), std::end(MsOs20PlatformUuid));
    Put32(bytes, WindowsVersion81);
    Put16(bytes, setLength);
    bytes.push_back(config.msOs20.vendorCode);
    bytes.push_back(0);  // no alternate enumeration
    bytes[4] = 2;
  }
  Patch16(bytes, 2, bytes.size());
  return bytes;
}

std::vector<std::uint8_t> BuildMsOs20DescriptorSet(const SimKeyUsbConfig& config) {
  const SimMsOs20Config& msOs = config.msOs20;
  if (msOs.rawSet) {
    return *msOs.rawSet;
  }
  Bytes features;
  if (msOs.compatibleId) {
    Put16(features, 20);
    Put16(features, MsOsCompatibleId);
    const char compatibleId[8] = {'W', 'I', 'N', 'U', 'S', 'B', 0, 0};
    features.insert(features.end(), std::begin(compatibleId), std::end(compatibleId));
    features.insert(features.end(), 8, 0);  // no sub-compatible id
  }
  const Bytes property = RegistryProperty(msOs);
  features.insert(features.end(), property.begin(), property.end());

  Bytes set;
  Put16(set, 10);
  Put16(set, MsOsSetHeader);
  Put32(set, WindowsVersion81);
  Put16(set, 0);
  if (msOs.placement == SimMsOs20Config::Placement::Function) {
    Put16(set, 8);
    Put16(set, MsOsConfigurationSubset);
    set.insert(set.end(), {0, 0});  // configuration index 0
    Put16(set, 8 + 8 + features.size());
    Put16(set, 8);
    Put16(set, MsOsFunctionSubset);
    set.insert(set.end(), {0, 0});  // first interface 0
    Put16(set, 8 + features.size());
  }
  set.insert(set.end(), features.begin(), features.end());
  Patch16(set, 8, set.size());
  return set;
}

std::optional<std::vector<std::uint8_t>> BuildStringDescriptor(const SimKeyUsbConfig& config,
                                                               std::uint8_t index) {
  Bytes text;
  switch (index) {
    case 0:
      Put16(text, 0x0409);
      break;
    case 1:
      text = Utf16(config.manufacturer, false);
      break;
    case 2:
      text = Utf16(config.product, false);
      break;
    case 3:
      if (!config.serialNumber) {
        return std::nullopt;
      }
      text = Utf16(*config.serialNumber, false);
      break;
    default:
      return std::nullopt;
  }
  Bytes bytes{static_cast<std::uint8_t>(2 + text.size()), StringType};
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

}  // namespace nevrik
