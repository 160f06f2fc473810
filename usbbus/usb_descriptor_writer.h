#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace nevrik::usbbus {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::string_view NevrikInterfaceGuid = "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}";

void PutLe16(Bytes& bytes, std::uint16_t value);
void PutLe32(Bytes& bytes, std::uint32_t value);

// ASCII text as UTF-16LE code units, with a terminating NUL when terminated.
Bytes Utf16(std::string_view ascii, bool terminated = true);

// A REG_MULTI_SZ value: each string terminated, then the empty string that ends the list.
Bytes MultiString(const std::vector<std::string_view>& strings);

// Builds a Microsoft OS 2.0 descriptor set: the set header, then descriptors and subsets in the
// order written. Subset and set lengths are filled in when the subset is ended or the set
// finished, so tests can write well-formed sets simply and spoil a chosen field on purpose.
class MsOs20SetWriter {
 public:
  MsOs20SetWriter();

  MsOs20SetWriter& BeginConfiguration(std::uint8_t configurationIndex);
  MsOs20SetWriter& BeginFunction(std::uint8_t firstInterface);
  MsOs20SetWriter& End();  // ends the innermost open subset

  MsOs20SetWriter& CompatibleId(std::string_view compatibleId);
  // DeviceInterfaceGUIDs, REG_MULTI_SZ.
  MsOs20SetWriter& InterfaceGuids(const std::vector<std::string_view>& guids);
  // DeviceInterfaceGUID, REG_SZ.
  MsOs20SetWriter& InterfaceGuid(std::string_view guid);
  // A registry property from raw name and data bytes, lengths taken from them.
  MsOs20SetWriter& Property(std::uint16_t dataType, const Bytes& name, const Bytes& data);
  // Bytes as they are, for descriptors of other kinds or deliberately broken ones.
  MsOs20SetWriter& Raw(const Bytes& bytes);

  // Ends every open subset and fills in the set's total length.
  Bytes Finish();

 private:
  Bytes set;
  std::vector<std::size_t> openSubsets;
};

// The MS OS 2.0 platform capability of a BOS descriptor with one descriptor set information
// entry.
Bytes MsOs20PlatformCapability(std::uint16_t setLength, std::uint8_t vendorCode,
                               std::uint32_t windowsVersion = 0x06030000);

// A BOS descriptor around device capability descriptors.
Bytes BosDescriptor(const std::vector<Bytes>& capabilities);

}  // namespace nevrik::usbbus
