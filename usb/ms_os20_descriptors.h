#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace nevrik {

// Microsoft OS 2.0 descriptors: how a device that Windows binds to WinUSB without an installed
// driver names its driver and device interface classes. Where no device interface classes exist,
// reading the same announcement tells a NEVRIK key apart from every other device.
//
// Both readers below take bytes straight from a device and trust none of its length fields: they
// never read outside the span they are given and always end.

// The platform capability UUID D8DD60DF-4589-4CC7-9CD2-659D9E648A9F in its wire byte order.
inline constexpr std::array<std::uint8_t, 16> MsOs20PlatformCapabilityUuid{
    0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

// wIndex of the vendor request that returns the descriptor set (MS_OS_20_DESCRIPTOR_INDEX).
inline constexpr std::uint16_t MsOs20DescriptorIndex = 7;

// Where the descriptor set is fetched: the vendor request 0xC0 / vendorCode / wValue 0 /
// wIndex MsOs20DescriptorIndex / wLength totalLength.
struct MsOs20DescriptorSetInfo {
  std::uint16_t totalLength;
  std::uint8_t vendorCode;
};

// Reads one device capability descriptor of a BOS descriptor (bLength, bDescriptorType,
// bDevCapabilityType, ...). Nothing unless it is the MS OS 2.0 platform capability with at least
// one usable descriptor set information entry; of several entries the one for the newest Windows
// version is taken, as the newest Windows would.
std::optional<MsOs20DescriptorSetInfo> ReadMsOs20PlatformCapability(
    std::span<const std::uint8_t> capability);

// The interface that a descriptor set gives the device interface class interfaceGuid (in the
// registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", compared without regard to letter
// case): a registry property DeviceInterfaceGUIDs (REG_MULTI_SZ) or DeviceInterfaceGUID (REG_SZ)
// that lists it. Inside a function subset the interface is the subset's first interface; at
// device or configuration level it is interface 0. Properties in the configuration subset of a
// configuration other than configurationIndex (the index, not bConfigurationValue, as the
// descriptor format has it) do not count. The first listing property wins.
//
// Nothing when no property lists the class or when the set is malformed anywhere: a length that
// overruns its set or subset, a descriptor shorter than its header, a subset inside a subset of
// its own kind, a second set header, or a property of either name with odd UTF-16 lengths or an
// unterminated string.
std::optional<std::uint8_t> FindInterfaceOfClass(std::span<const std::uint8_t> descriptorSet,
                                                 std::uint8_t configurationIndex,
                                                 std::string_view interfaceGuid);

}  // namespace nevrik
