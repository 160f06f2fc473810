#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The USB face of a simulated key: its descriptors, built from a configuration that tests vary.
//
// A NEVRIK key is a USB 2.1 device (bcdUSB 0x0210) with one configuration whose interface 0 is
// vendor-specific (class 0xFF) and carries, in alternate setting 0, a bulk OUT and a bulk IN
// endpoint: the first bulk endpoint of each direction carries the frames. Its BOS descriptor holds
// a USB 2.0 extension and the Microsoft OS 2.0 platform capability, which names a vendor request
// that returns a descriptor set announcing the WinUSB compatible id and the NEVRIK device
// interface class {EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}; that class is how hosts recognise a key.
namespace nevrik {

inline constexpr const char* NevrikInterfaceGuid = "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}";

enum class SimEndpointType : std::uint8_t { Bulk = 2, Interrupt = 3 };

struct SimEndpoint {
  std::uint8_t address = 0;  // bit 7 set: IN
  SimEndpointType type = SimEndpointType::Bulk;
  std::uint16_t maxPacketSize = 64;
  std::uint8_t interval = 0;
};

// The Microsoft OS 2.0 descriptors. Variants let tests check how hosts recognise a key.
struct SimMsOs20Config {
  enum class Placement {
    Device,    // the features stand at device level
    Function,  // inside a configuration subset and a function subset for interface 0
  };

  bool present = true;  // false: the BOS descriptor has no platform capability
  std::uint8_t vendorCode = 0x20;
  Placement placement = Placement::Device;
  bool compatibleId = true;  // "WINUSB"
  // Listed in the registry property DeviceInterfaceGUIDs (REG_MULTI_SZ), exactly as written.
  std::vector<std::string> interfaceGuids{NevrikInterfaceGuid};
  // Instead: DeviceInterfaceGUID (REG_SZ) holding the first GUID.
  bool singleGuidProperty = false;
  // Sent instead of the set built from the fields above (malformed sets).
  std::optional<std::vector<std::uint8_t>> rawSet;
  // The set length the capability announces, if not the set's own length.
  std::optional<std::uint16_t> announcedLength;
};

struct SimKeyUsbConfig {
  // The identity a test key announces; other IDs stand for real keys.
  static constexpr std::uint16_t TestVendorId = 0x1209;
  static constexpr std::uint16_t TestProductId = 0x0001;

  std::uint16_t vendorId = TestVendorId;  // the pid.codes test vendor and product
  std::uint16_t productId = TestProductId;
  std::uint16_t deviceRelease = 0x0100;
  std::uint8_t interfaceClass = 0xFF;
  // Used for the default endpoints: bulk OUT 0x01 and bulk IN 0x81.
  std::uint16_t maxPacketSize = 64;
  // Interface 0, alternate setting 0, in descriptor order; empty: the default endpoints.
  std::vector<SimEndpoint> endpoints;
  // Interface 0, alternate setting 1; empty: there is none.
  std::vector<SimEndpoint> alternateSetting1;
  // Strings are UTF-8, announced in UTF-16LE; a byte that is not UTF-8 becomes U+FFFD. At most
  // 126 UTF-16 code units each (a string descriptor's bLength is one byte).
  std::string manufacturer = "NEVRIK";
  std::string product = "NEVRIK security key (simulated)";
  std::optional<std::string> serialNumber = "NVKSIM0000000001";  // nothing: no serial number
  SimMsOs20Config msOs20;

  // The endpoints of alternate setting 0 as the descriptor lists them.
  std::vector<SimEndpoint> ActiveEndpoints() const;
  // A bulk endpoint with packets above 64 bytes makes the key a high-speed device.
  bool HighSpeed() const;

  // A key whose interface has two bulk OUT (0x01, 0x02) and two bulk IN (0x81, 0x82) endpoints
  // and an interrupt IN one, in the order 0x01, 0x81, 0x83, 0x02, 0x82.
  static SimKeyUsbConfig WithExtraEndpoints();
};

std::vector<std::uint8_t> BuildDeviceDescriptor(const SimKeyUsbConfig& config);
std::vector<std::uint8_t> BuildConfigurationDescriptor(const SimKeyUsbConfig& config);
// Answered only by a high-speed device.
std::vector<std::uint8_t> BuildDeviceQualifierDescriptor();
std::vector<std::uint8_t> BuildBosDescriptor(const SimKeyUsbConfig& config);
std::vector<std::uint8_t> BuildMsOs20DescriptorSet(const SimKeyUsbConfig& config);
// Index 0: the language list (US English); 1 manufacturer, 2 product, 3 serial number (a key
// without one announces string index 0 for it and stalls index 3).
std::optional<std::vector<std::uint8_t>> BuildStringDescriptor(const SimKeyUsbConfig& config,
                                                               std::uint8_t index);

}  // namespace nevrik
