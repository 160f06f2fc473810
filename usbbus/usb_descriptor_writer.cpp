#include "usbbus/usb_descriptor_writer.h"

#include <array>

namespace nevrik::usbbus {

namespace {

void PatchLe16(Bytes& bytes, std::size_t offset, std::size_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

void PutLe16(Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(Bytes& bytes, std::uint32_t value) {
  PutLe16(bytes, static_cast<std::uint16_t>(value));
  PutLe16(bytes, static_cast<std::uint16_t>(value >> 16));
}

Bytes Utf16(std::string_view ascii, bool terminated) {
  Bytes text;
  for (const char c : ascii) {
    PutLe16(text, static_cast<std::uint8_t>(c));
  }
  if (terminated) {
    PutLe16(text, 0);
  }
  return text;
}

Bytes MultiString(const std::vector<std::string_view>& strings) {
  Bytes value;
  for (const std::string_view string : strings) {
    const Bytes text = Utf16(string);
    value.insert(value.end(), text.begin(), text.end());
  }
  PutLe16(value, 0);
  return value;
}

MsOs20SetWriter::MsOs20SetWriter() {
  PutLe16(set, 10);
  PutLe16(set, 0x00);  // MS_OS_20_SET_HEADER_DESCRIPTOR
  PutLe32(set, 0x06030000);
  PutLe16(set, 0);  // wTotalLength, filled in by Finish
}

MsOs20SetWriter& MsOs20SetWriter::BeginConfiguration(std::uint8_t configurationIndex) {
  openSubsets.push_back(set.size());
  PutLe16(set, 8);
  PutLe16(set, 0x01);  // MS_OS_20_SUBSET_HEADER_CONFIGURATION
  set.push_back(configurationIndex);
  set.push_back(0);
  PutLe16(set, 0);
  return *this;
}

MsOs20SetWriter& MsOs20SetWriter::BeginFunction(std::uint8_t firstInterface) {
  openSubsets.push_back(set.size());
  PutLe16(set, 8);
  PutLe16(set, 0x02);  // MS_OS_20_SUBSET_HEADER_FUNCTION
  set.push_back(firstInterface);
  set.push_back(0);
  PutLe16(set, 0);
  return *this;
}

MsOs20SetWriter& MsOs20SetWriter::End() {
  const std::size_t start = openSubsets.back();
  openSubsets.pop_back();
  PatchLe16(set, start + 6, set.size() - start);
  return *this;
}

MsOs20SetWriter& MsOs20SetWriter::CompatibleId(std::string_view compatibleId) {
  PutLe16(set, 20);
  PutLe16(set, 0x03);  // MS_OS_20_FEATURE_COMPATBLE_ID
  std::array<std::uint8_t, 16> ids{};
  for (std::size_t i = 0; i < compatibleId.size() && i < 8; ++i) {
    ids[i] = static_cast<std::uint8_t>(compatibleId[i]);
  }
  set.insert(set.end(), ids.begin(), ids.end());
  return *this;
}

MsOs20SetWriter& MsOs20SetWriter::InterfaceGuids(const std::vector<std::string_view>& guids) {
  return Property(7, Utf16("DeviceInterfaceGUIDs"), MultiString(guids));
}

MsOs20SetWriter& MsOs20SetWriter::InterfaceGuid(std::string_view guid) {
  return Property(1, Utf16("DeviceInterfaceGUID"), Utf16(guid));
}

MsOs20SetWriter& MsOs20SetWriter::Property(std::uint16_t dataType, const Bytes& name,
                                           const Bytes& data) {
  PutLe16(set, static_cast<std::uint16_t>(10 + name.size() + data.size()));
  PutLe16(set, 0x04);  // MS_OS_20_FEATURE_REG_PROPERTY
  PutLe16(set, dataType);
  PutLe16(set, static_cast<std::uint16_t>(name.size()));
  set.insert(set.end(), name.begin(), name.end());
  PutLe16(set, static_cast<std::uint16_t>(data.size()));
  set.insert(set.end(), data.begin(), data.end());
  return *this;
}

MsOs20SetWriter& MsOs20SetWriter::Raw(const Bytes& bytes) {
  set.insert(set.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes MsOs20SetWriter::Finish() {
  while (!openSubsets.empty()) {
    End();
  }
  PatchLe16(set, 8, set.size());
  return set;
}

Bytes MsOs20PlatformCapability(std::uint16_t setLength, std::uint8_t vendorCode,
                               std::uint32_t windowsVersion) {
  Bytes capability{28,   0x10, 0x05, 0x00, 0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45,
                   0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
  PutLe32(capability, windowsVersion);
  PutLe16(capability, setLength);
  capability.push_back(vendorCode);
  capability.push_back(0);  // bAltEnumCode
  return capability;
}

Bytes BosDescriptor(const std::vector<Bytes>& capabilities) {
  Bytes bos{5, 0x0F, 0, 0, static_cast<std::uint8_t>(capabilities.size())};
  for (const Bytes& capability : capabilities) {
    bos.insert(bos.end(), capability.begin(), capability.end());
  }
  PatchLe16(bos, 2, bos.size());
  return bos;
}

}  // namespace nevrik::usbbus
