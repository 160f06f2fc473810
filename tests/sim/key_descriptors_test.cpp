#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/sim_key.h"

namespace nevrik {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t Le16(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes.at(at) | bytes.at(at + 1) << 8);
}

std::string FromUtf16(const Bytes& bytes, std::size_t at, std::size_t length) {
  std::string text;
  for (std::size_t i = at; i + 1 < at + length; i += 2) {
    text.push_back(static_cast<char>(Le16(bytes, i)));
  }
  return text;
}

std::optional<Bytes> GetDescriptor(SimKey& key, std::uint8_t type, std::uint8_t index,
                                   std::uint16_t length = 0xFFFF, std::uint16_t language = 0) {
  return key.Control(
      UsbSetupPacket{0x80, 0x06, static_cast<std::uint16_t>(type << 8 | index), language, length},
      {});
}

// What a host learns from a Microsoft OS 2.0 descriptor set, parsed here from the published
// layout independently of the key's builder.
struct MsOsFeatures {
  std::uint16_t totalLength = 0;
  bool compatibleWinUsb = false;
  std::optional<std::uint8_t> functionFirstInterface;
  std::uint16_t propertyType = 0;
  std::string propertyName;
  std::vector<std::string> guids;
};

MsOsFeatures ParseMsOs20Set(const Bytes& set) {
  MsOsFeatures features;
  EXPECT_EQ(Le16(set, 0), 10);
  EXPECT_EQ(Le16(set, 2), 0x0000);
  EXPECT_EQ(Le16(set, 4) | Le16(set, 6) << 16, 0x06030000);
  features.totalLength = Le16(set, 8);
  std::size_t at = 10;
  std::size_t subsetEnd = 0;
  while (at + 4 <= set.size()) {
    const std::uint16_t length = Le16(set, at);
    const std::uint16_t type = Le16(set, at + 2);
    EXPECT_GE(length, 4);
    if (length < 4) {
      break;
    }
    switch (type) {
      case 0x0001:
        EXPECT_EQ(length, 8);
        EXPECT_EQ(set.at(at + 4), 0);  // configuration index
        EXPECT_EQ(at + Le16(set, at + 6), set.size());
        break;
      case 0x0002:
        EXPECT_EQ(length, 8);
        features.functionFirstInterface = set.at(at + 4);
        subsetEnd = at + Le16(set, at + 6);
        EXPECT_EQ(subsetEnd, set.size());
        break;
      case 0x0003:
        EXPECT_EQ(length, 20);
        features.compatibleWinUsb = Bytes(set.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                          set.begin() + static_cast<std::ptrdiff_t>(at + 12)) ==
                                    Bytes{'W', 'I', 'N', 'U', 'S', 'B', 0, 0};
        break;
      case 0x0004: {
        features.propertyType = Le16(set, at + 4);
        const std::uint16_t nameLength = Le16(set, at + 6);
        features.propertyName = FromUtf16(set, at + 8, nameLength);
        const std::size_t dataAt = at + 8 + nameLength + 2;
        const std::uint16_t dataLength = Le16(set, at + 8 + nameLength);
        EXPECT_EQ(length, 10 + nameLength + dataLength);
        std::string current;
        for (std::size_t i = dataAt; i + 1 < dataAt + dataLength; i += 2) {
          const char c = static_cast<char>(Le16(set, i));
          if (c == 0) {
            if (!current.empty()) {
              features.guids.push_back(current);
            }
            current.clear();
          } else {
            current.push_back(c);
          }
        }
        break;
      }
      default:
        ADD_FAILURE() << "unexpected descriptor type " << type;
    }
    at += length;
  }
  EXPECT_EQ(at, set.size());
  return features;
}

struct BosPlatform {
  bool present = false;
  Bytes uuid;
  std::uint16_t setLength = 0;
  std::uint8_t vendorCode = 0;
  int capabilities = 0;
};

BosPlatform ParseBos(const Bytes& bos) {
  BosPlatform platform;
  EXPECT_EQ(bos.at(0), 5);
  EXPECT_EQ(bos.at(1), 0x0F);
  EXPECT_EQ(Le16(bos, 2), bos.size());
  std::size_t at = 5;
  while (at < bos.size()) {
    EXPECT_EQ(bos.at(at + 1), 0x10);
    ++platform.capabilities;
    if (bos.at(at + 2) == 0x05) {
      platform.present = true;
      platform.uuid.assign(bos.begin() + static_cast<std::ptrdiff_t>(at + 4),
                           bos.begin() + static_cast<std::ptrdiff_t>(at + 20));
      EXPECT_EQ(Le16(bos, at + 20) | Le16(bos, at + 22) << 16, 0x06030000);
      platform.setLength = Le16(bos, at + 24);
      platform.vendorCode = bos.at(at + 26);
    }
    at += bos.at(at);
  }
  EXPECT_EQ(bos.at(4), platform.capabilities);
  return platform;
}

const Bytes MsOs20Uuid{0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                       0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

// The set as a host fetches it: from the BOS capability's vendor code and length.
std::optional<Bytes> FetchMsOs20Set(SimKey& key) {
  const BosPlatform platform = ParseBos(*GetDescriptor(key, 0x0F, 0));
  if (!platform.present) {
    return std::nullopt;
  }
  return key.Control(UsbSetupPacket{0xC0, platform.vendorCode, 0, 7, platform.setLength}, {});
}

TEST(KeyDescriptorsTest, DeviceDescriptorAnnouncesAUsb21Device) {
  SimKey key;
  const Bytes device = *GetDescriptor(key, 0x01, 0, 18);
  ASSERT_EQ(device.size(), 18u);
  EXPECT_EQ(device, key.DeviceDescriptor());
  EXPECT_EQ(device[1], 0x01);
  EXPECT_EQ(Le16(device, 2), 0x0210);
  EXPECT_EQ(device[7], 64);
  EXPECT_EQ(Le16(device, 8), 0x1209);
  EXPECT_EQ(device[17], 1);
  // A host asking for the first 8 bytes gets exactly those.
  EXPECT_EQ(*GetDescriptor(key, 0x01, 0, 8), Bytes(device.begin(), device.begin() + 8));
  EXPECT_FALSE(GetDescriptor(key, 0x06, 0).has_value());  // full speed: no qualifier
}

TEST(KeyDescriptorsTest, StringsAreUtf16WithUsEnglish) {
  SimKeyUsbConfig config;
  config.serialNumber = "K-42";
  SimKey key(config);
  EXPECT_EQ(*GetDescriptor(key, 0x03, 0), (Bytes{4, 0x03, 0x09, 0x04}));
  const Bytes serial = *GetDescriptor(key, 0x03, 3, 255, 0x0409);
  EXPECT_EQ(serial[0], serial.size());
  EXPECT_EQ(FromUtf16(serial, 2, serial.size() - 2), "K-42");
  EXPECT_EQ(FromUtf16(*GetDescriptor(key, 0x03, 1), 2, 12), "NEVRIK");
  EXPECT_FALSE(GetDescriptor(key, 0x03, 4).has_value());
}

class KeyConfigurationTest : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(KeyConfigurationTest, InterfaceZeroIsVendorClassWithABulkPair) {
  SimKeyUsbConfig config;
  config.maxPacketSize = GetParam();
  SimKey key(config);
  const Bytes descriptor = *GetDescriptor(key, 0x02, 0);
  EXPECT_EQ(descriptor, key.ConfigurationDescriptor());
  EXPECT_EQ(Le16(descriptor, 2), descriptor.size());
  EXPECT_EQ(descriptor[4], 1);  // interfaces
  ASSERT_EQ(descriptor.size(), 9u + 9u + 2 * 7u);
  EXPECT_EQ(Bytes(descriptor.begin() + 9, descriptor.begin() + 18),
            (Bytes{9, 0x04, 0, 0, 2, 0xFF, 0, 0, 0}));
  EXPECT_EQ(Bytes(descriptor.begin() + 18, descriptor.begin() + 21), (Bytes{7, 0x05, 0x01}));
  EXPECT_EQ(descriptor[21], 0x02);
  EXPECT_EQ(Le16(descriptor, 22), GetParam());
  EXPECT_EQ(Bytes(descriptor.begin() + 25, descriptor.begin() + 28), (Bytes{7, 0x05, 0x81}));
  EXPECT_EQ(Le16(descriptor, 29), GetParam());
  // Only a high-speed key answers the device qualifier request.
  EXPECT_EQ(GetDescriptor(key, 0x06, 0).has_value(), GetParam() == 512);
}

INSTANTIATE_TEST_SUITE_P(PacketSizes, KeyConfigurationTest, ::testing::Values(64, 512));

TEST(KeyDescriptorsTest, DefaultMsOs20SetAnnouncesWinUsbAndTheNevrikClass) {
  SimKey key;
  const BosPlatform platform = ParseBos(*GetDescriptor(key, 0x0F, 0));
  EXPECT_EQ(platform.capabilities, 2);  // USB 2.0 extension and platform
  ASSERT_TRUE(platform.present);
  EXPECT_EQ(platform.uuid, MsOs20Uuid);
  EXPECT_EQ(platform.vendorCode, 0x20);

  const std::optional<Bytes> set = FetchMsOs20Set(key);
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(set->size(), platform.setLength);
  const MsOsFeatures features = ParseMsOs20Set(*set);
  EXPECT_EQ(features.totalLength, set->size());
  EXPECT_TRUE(features.compatibleWinUsb);
  EXPECT_FALSE(features.functionFirstInterface.has_value());
  EXPECT_EQ(features.propertyType, 7);
  EXPECT_EQ(features.propertyName, std::string("DeviceInterfaceGUIDs") + '\0');
  EXPECT_EQ(features.guids, std::vector<std::string>{"{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}"});

  const KeyControlRecord& request = key.ControlRequests().back();
  EXPECT_EQ(request.setup.requestType, 0xC0);
  EXPECT_EQ(request.data, *set);
}

TEST(KeyDescriptorsTest, MsOs20VariantsForRecognitionTests) {
  SimKeyUsbConfig config;
  config.msOs20.vendorCode = 0x5A;
  config.msOs20.placement = SimMsOs20Config::Placement::Function;
  config.msOs20.interfaceGuids = {"{11111111-2222-3333-4444-555555555555}",
                                  "{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}"};
  SimKey several(config);
  MsOsFeatures features = ParseMsOs20Set(*FetchMsOs20Set(several));
  EXPECT_EQ(features.functionFirstInterface, 0);
  EXPECT_TRUE(features.compatibleWinUsb);
  EXPECT_EQ(features.guids, config.msOs20.interfaceGuids);

  config.msOs20.singleGuidProperty = true;
  config.msOs20.compatibleId = false;
  SimKey single(config);
  features = ParseMsOs20Set(*FetchMsOs20Set(single));
  EXPECT_FALSE(features.compatibleWinUsb);
  EXPECT_EQ(features.propertyType, 1);
  EXPECT_EQ(features.propertyName, std::string("DeviceInterfaceGUID") + '\0');
  EXPECT_EQ(features.guids, std::vector<std::string>{config.msOs20.interfaceGuids.front()});

  config = SimKeyUsbConfig{};
  config.msOs20.rawSet = Bytes{10, 0, 0, 0, 0, 0, 3, 6, 200, 0};
  config.msOs20.announcedLength = 300;
  SimKey malformed(config);
  EXPECT_EQ(ParseBos(malformed.BosDescriptor()).setLength, 300);
  EXPECT_EQ(*FetchMsOs20Set(malformed), *config.msOs20.rawSet);
}

TEST(KeyDescriptorsTest, WithoutCapabilityTheVendorRequestStalls) {
  SimKeyUsbConfig config;
  config.msOs20.present = false;
  SimKey key(config);
  const BosPlatform platform = ParseBos(*GetDescriptor(key, 0x0F, 0));
  EXPECT_FALSE(platform.present);
  EXPECT_EQ(platform.capabilities, 1);
  EXPECT_FALSE(key.Control(UsbSetupPacket{0xC0, 0x20, 0, 7, 512}, {}).has_value());
  EXPECT_TRUE(key.ControlRequests().back().stalled);

  SimKey healthy;
  EXPECT_FALSE(healthy.Control(UsbSetupPacket{0xC0, 0x20, 0, 8, 512}, {}).has_value());
  EXPECT_FALSE(healthy.Control(UsbSetupPacket{0xC0, 0x21, 0, 7, 512}, {}).has_value());
  // The host may ask for a prefix first, as for any descriptor.
  EXPECT_EQ(healthy.Control(UsbSetupPacket{0xC0, 0x20, 0, 7, 10}, {})->size(), 10u);
}

}  // namespace
}  // namespace nevrik
