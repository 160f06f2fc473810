#include "usb/ms_os20_descriptors.h"

#include <algorithm>
#include <cstddef>

namespace nevrik {

namespace {

constexpr std::uint8_t DeviceCapabilityDescriptorType = 0x10;
constexpr std::uint8_t PlatformCapabilityType = 0x05;
constexpr std::size_t PlatformCapabilityHeaderSize = 20;  // up to and with the UUID
constexpr std::size_t DescriptorSetInfoSize = 8;

constexpr std::uint16_t SetHeaderType = 0x00;
constexpr std::uint16_t ConfigurationSubsetType = 0x01;
constexpr std::uint16_t FunctionSubsetType = 0x02;
constexpr std::uint16_t RegistryPropertyType = 0x04;
constexpr std::size_t SetHeaderSize = 10;
constexpr std::size_t SubsetHeaderSize = 8;
constexpr std::size_t DescriptorHeaderSize = 4;  // wLength, wDescriptorType

constexpr std::uint16_t RegSz = 1;
constexpr std::uint16_t RegMultiSz = 7;

std::uint16_t Le16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::uint32_t Le32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(Le16(bytes, offset)) |
         static_cast<std::uint32_t>(Le16(bytes, offset + 2)) << 16;
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether UTF-16LE text (a whole number of code units) spells ascii, ignoring letter case.
bool SpellsIgnoringCase(std::span<const std::uint8_t> text, std::string_view ascii) {
  if (text.size() != ascii.size() * 2) {
    return false;
  }
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    const std::uint16_t unit = Le16(text, 2 * i);
    if (unit >= 0x80 || LowerAscii(static_cast<char>(unit)) != LowerAscii(ascii[i])) {
      return false;
    }
  }
  return true;
}

// The UTF-16LE strings of a REG_SZ (one) or REG_MULTI_SZ (up to the empty string that ends the
// list) value, each without its terminator. False when the value has an odd length or a string
// runs to its end without a terminator.
template <typename Visit>
bool ForEachString(std::span<const std::uint8_t> value, bool multiString, Visit visit) {
  if (value.size() % 2 != 0) {
    return false;
  }
  std::size_t start = 0;
  while (start < value.size()) {
    std::size_t end = start;
    while (end < value.size() && Le16(value, end) != 0) {
      end += 2;
    }
    if (end == value.size()) {
      return false;
    }
    if (end == start && multiString) {
      return true;  // the empty string that ends the list
    }
    visit(value.subspan(start, end - start));
    if (!multiString) {
      return true;
    }
    start = end + 2;
  }
  // A REG_SZ value without any string is unterminated; a list may leave out its closing empty
  // string, or be empty altogether.
  return multiString;
}

enum class PropertyReading { Malformed, Unrelated, ListsClass };

// One registry property descriptor: wLength, wDescriptorType, wPropertyDataType,
// wPropertyNameLength, PropertyName, wPropertyDataLength, PropertyData.
PropertyReading ReadRegistryProperty(std::span<const std::uint8_t> descriptor,
                                     std::string_view interfaceGuid) {
  constexpr std::size_t NameOffset = 8;
  if (descriptor.size() < NameOffset + 2) {
    return PropertyReading::Malformed;
  }
  const std::uint16_t dataType = Le16(descriptor, 4);
  const std::size_t nameLength = Le16(descriptor, 6);
  if (nameLength > descriptor.size() - NameOffset - 2) {
    return PropertyReading::Malformed;
  }
  const std::size_t dataOffset = NameOffset + nameLength + 2;
  const std::size_t dataLength = Le16(descriptor, NameOffset + nameLength);
  if (dataLength != descriptor.size() - dataOffset) {
    return PropertyReading::Malformed;
  }

  std::span<const std::uint8_t> name;
  if (!ForEachString(descriptor.subspan(NameOffset, nameLength), false,
                     [&name](std::span<const std::uint8_t> text) { name = text; })) {
    return PropertyReading::Malformed;
  }
  bool multiString = false;
  if (SpellsIgnoringCase(name, "DeviceInterfaceGUIDs")) {
    multiString = true;
  } else if (!SpellsIgnoringCase(name, "DeviceInterfaceGUID")) {
    return PropertyReading::Unrelated;
  }
  if (dataType != (multiString ? RegMultiSz : RegSz)) {
    return PropertyReading::Unrelated;
  }

  bool listed = false;
  if (!ForEachString(descriptor.subspan(dataOffset, dataLength), multiString,
                     [&](std::span<const std::uint8_t> text) {
                       listed = listed || SpellsIgnoringCase(text, interfaceGuid);
                     })) {
    return PropertyReading::Malformed;
  }
  return listed ? PropertyReading::ListsClass : PropertyReading::Unrelated;
}

}  // namespace

std::optional<MsOs20DescriptorSetInfo> ReadMsOs20PlatformCapability(
    std::span<const std::uint8_t> capability) {
  if (capability.size() < PlatformCapabilityHeaderSize + DescriptorSetInfoSize) {
    return std::nullopt;
  }
  const std::size_t length = capability[0];
  if (length > capability.size() || length < PlatformCapabilityHeaderSize + DescriptorSetInfoSize ||
      (length - PlatformCapabilityHeaderSize) % DescriptorSetInfoSize != 0 ||
      capability[1] != DeviceCapabilityDescriptorType || capability[2] != PlatformCapabilityType ||
      !std::equal(MsOs20PlatformCapabilityUuid.begin(), MsOs20PlatformCapabilityUuid.end(),
                  capability.begin() + 4)) {
    return std::nullopt;
  }

  std::optional<MsOs20DescriptorSetInfo> chosen;
  std::uint32_t chosenVersion = 0;
  for (std::size_t offset = PlatformCapabilityHeaderSize; offset < length;
       offset += DescriptorSetInfoSize) {
    const std::uint32_t windowsVersion = Le32(capability, offset);
    const std::uint16_t totalLength = Le16(capability, offset + 4);
    if (totalLength < SetHeaderSize || (chosen && windowsVersion <= chosenVersion)) {
      continue;
    }
    chosen = MsOs20DescriptorSetInfo{totalLength, capability[offset + 6]};
    chosenVersion = windowsVersion;
  }
  return chosen;
}

std::optional<std::uint8_t> FindInterfaceOfClass(std::span<const std::uint8_t> descriptorSet,
                                                 std::uint8_t configurationIndex,
                                                 std::string_view interfaceGuid) {
  const std::span<const std::uint8_t> set = descriptorSet;
  if (set.size() < SetHeaderSize || Le16(set, 0) != SetHeaderSize ||
      Le16(set, 2) != SetHeaderType || Le16(set, 8) != set.size()) {
    return std::nullopt;
  }

  // Subsets nest at most set > configuration > function; an end of 0 means "not inside one".
  // Every descriptor must fit the innermost open subset, so the walk reaches each subset's end
  // exactly and closes it there.
  std::size_t configurationEnd = 0;
  bool configurationApplies = true;
  std::size_t functionEnd = 0;
  std::uint8_t functionFirstInterface = 0;
  std::optional<std::uint8_t> found;

  std::size_t offset = SetHeaderSize;
  while (offset < set.size()) {
    if (offset == functionEnd) {
      functionEnd = 0;
    }
    if (offset == configurationEnd) {
      configurationEnd = 0;
      configurationApplies = true;
    }
    const std::size_t scopeEnd = functionEnd != 0        ? functionEnd
                                 : configurationEnd != 0 ? configurationEnd
                                                         : set.size();
    if (scopeEnd - offset < DescriptorHeaderSize) {
      return std::nullopt;
    }
    const std::size_t length = Le16(set, offset);
    const std::uint16_t type = Le16(set, offset + 2);
    // A length below the header's own size would stall the walk; one past the scope overruns.
    if (length < DescriptorHeaderSize || length > scopeEnd - offset) {
      return std::nullopt;
    }
    const std::span<const std::uint8_t> descriptor = set.subspan(offset, length);

    switch (type) {
      case SetHeaderType:
        return std::nullopt;
      case ConfigurationSubsetType:
      case FunctionSubsetType: {
        const bool configuration = type == ConfigurationSubsetType;
        if (length != SubsetHeaderSize || functionEnd != 0 ||
            (configuration && configurationEnd != 0)) {
          return std::nullopt;
        }
        const std::size_t subsetLength = Le16(descriptor, 6);
        if (subsetLength < SubsetHeaderSize || subsetLength > scopeEnd - offset) {
          return std::nullopt;
        }
        if (configuration) {
          configurationEnd = offset + subsetLength;
          configurationApplies = descriptor[4] == configurationIndex;
        } else {
          functionEnd = offset + subsetLength;
          functionFirstInterface = descriptor[4];
        }
        break;
      }
      case RegistryPropertyType: {
        const PropertyReading reading = ReadRegistryProperty(descriptor, interfaceGuid);
        if (reading == PropertyReading::Malformed) {
          return std::nullopt;
        }
        if (reading == PropertyReading::ListsClass && configurationApplies && !found) {
          found = functionEnd != 0 ? functionFirstInterface : std::uint8_t{0};
        }
        break;
      }
      default:
        break;  // compatible IDs and the other features say nothing about interface classes
    }
    offset += length;
  }
  return found;
}

}  // namespace nevrik
