#include "usb/ms_os20_descriptors.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "usbbus/usb_descriptor_writer.h"

namespace nevrik {
namespace {

using usbbus::Bytes;
using usbbus::MsOs20SetWriter;
using usbbus::NevrikInterfaceGuid;
using usbbus::Utf16;

constexpr std::string_view OtherGuid = "{5E3B2A71-6C4D-4F80-9A1B-2C3D4E5F6071}";
constexpr std::uint16_t RegSz = 1;
constexpr std::uint16_t RegMultiSz = 7;

std::optional<std::uint8_t> Find(const Bytes& set, std::uint8_t configurationIndex = 0) {
  return FindInterfaceOfClass(set, configurationIndex, NevrikInterfaceGuid);
}

std::string Lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

// The set most keys carry: WinUSB as the compatible ID and the class, at device level.
Bytes DeviceLevelSet() {
  return MsOs20SetWriter().CompatibleId("WINUSB").InterfaceGuids({NevrikInterfaceGuid}).Finish();
}

struct ValidSet {
  const char* name;
  Bytes set;
  std::uint8_t configurationIndex;
  std::optional<std::uint8_t> interfaceNumber;
};

void PrintTo(const ValidSet& valid, std::ostream* stream) {
  *stream << valid.name;
}

class ValidDescriptorSets : public ::testing::TestWithParam<ValidSet> {};

TEST_P(ValidDescriptorSets, GiveTheInterfaceOfTheClass) {
  EXPECT_EQ(Find(GetParam().set, GetParam().configurationIndex), GetParam().interfaceNumber);
}

const std::string LowercaseGuid = Lowercase(NevrikInterfaceGuid);
const std::string GuidWithTail = std::string(NevrikInterfaceGuid) + "x";

INSTANTIATE_TEST_SUITE_P(
    Sets, ValidDescriptorSets,
    ::testing::Values(
        ValidSet{"AtDeviceLevel", DeviceLevelSet(), 0, 0},
        ValidSet{"InFunctionSubset",
                 MsOs20SetWriter()
                     .BeginConfiguration(0)
                     .BeginFunction(0)
                     .CompatibleId("WINUSB")
                     .InterfaceGuids({OtherGuid})
                     .End()
                     .BeginFunction(2)
                     .CompatibleId("WINUSB")
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .Finish(),
                 0, 2},
        ValidSet{"InFunctionSubsetWithoutConfigurationSubset",
                 MsOs20SetWriter().BeginFunction(3).InterfaceGuids({NevrikInterfaceGuid}).Finish(),
                 0, 3},
        ValidSet{"AtConfigurationLevel",
                 MsOs20SetWriter()
                     .BeginConfiguration(0)
                     .BeginFunction(4)
                     .End()
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .Finish(),
                 0, 0},
        ValidSet{"Lowercase", MsOs20SetWriter().InterfaceGuids({LowercaseGuid}).Finish(), 0, 0},
        ValidSet{
            "AmongSeveralGuids",
            MsOs20SetWriter().InterfaceGuids({OtherGuid, NevrikInterfaceGuid, OtherGuid}).Finish(),
            0, 0},
        ValidSet{"SingleGuidAsRegSz", MsOs20SetWriter().InterfaceGuid(NevrikInterfaceGuid).Finish(),
                 0, 0},
        ValidSet{"PropertyNameInOtherCase",
                 MsOs20SetWriter()
                     .Property(RegMultiSz, Utf16("deviceinterfaceguids"),
                               usbbus::MultiString({NevrikInterfaceGuid}))
                     .Finish(),
                 0, 0},
        ValidSet{
            "ListWithoutClosingEmptyString",
            MsOs20SetWriter()
                .Property(RegMultiSz, Utf16("DeviceInterfaceGUIDs"), Utf16(NevrikInterfaceGuid))
                .Finish(),
            0, 0},
        ValidSet{"FirstListingFunctionWins",
                 MsOs20SetWriter()
                     .BeginFunction(1)
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .End()
                     .BeginFunction(3)
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .Finish(),
                 0, 1},
        ValidSet{"OtherFeaturesSkipped",
                 MsOs20SetWriter()
                     .Raw({6, 0, 0x07, 0, 0, 0})  // CCGP device
                     .Raw({8, 0, 0x05, 0, 1, 2, 0, 0})
                     .Raw({4, 0, 0x99, 0})  // a type this reader does not know
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .Finish(),
                 0, 0},
        ValidSet{"ActiveConfigurationSubset",
                 MsOs20SetWriter()
                     .BeginConfiguration(0)
                     .BeginFunction(1)
                     .InterfaceGuids({OtherGuid})
                     .End()
                     .End()
                     .BeginConfiguration(1)
                     .BeginFunction(2)
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .Finish(),
                 1, 2},
        ValidSet{"InactiveConfigurationSubset",
                 MsOs20SetWriter()
                     .BeginConfiguration(1)
                     .BeginFunction(2)
                     .InterfaceGuids({NevrikInterfaceGuid})
                     .Finish(),
                 0, std::nullopt},
        ValidSet{"OtherClassOnly", MsOs20SetWriter().InterfaceGuids({OtherGuid}).Finish(), 0,
                 std::nullopt},
        ValidSet{"NoProperties", MsOs20SetWriter().CompatibleId("WINUSB").Finish(), 0,
                 std::nullopt},
        ValidSet{"PluralNameAsRegSz",
                 MsOs20SetWriter()
                     .Property(RegSz, Utf16("DeviceInterfaceGUIDs"), Utf16(NevrikInterfaceGuid))
                     .Finish(),
                 0, std::nullopt},
        ValidSet{"OtherPropertyName",
                 MsOs20SetWriter()
                     .Property(RegSz, Utf16("DeviceInterfaceGUIDx"), Utf16(NevrikInterfaceGuid))
                     .Finish(),
                 0, std::nullopt},
        ValidSet{
            "GuidWithoutBraces",
            MsOs20SetWriter()
                .InterfaceGuids({NevrikInterfaceGuid.substr(1, NevrikInterfaceGuid.size() - 2)})
                .Finish(),
            0, std::nullopt},
        ValidSet{"GuidWithTail", MsOs20SetWriter().InterfaceGuids({GuidWithTail}).Finish(), 0,
                 std::nullopt},
        ValidSet{"GuidAfterListEnd",
                 MsOs20SetWriter()
                     .Property(RegMultiSz, Utf16("DeviceInterfaceGUIDs"),
                               [] {
                                 Bytes value = usbbus::MultiString({OtherGuid});
                                 const Bytes guid = Utf16(NevrikInterfaceGuid);
                                 value.insert(value.end(), guid.begin(), guid.end());
                                 return value;
                               }())
                     .Finish(),
                 0, std::nullopt}),
    [](const ::testing::TestParamInfo<ValidSet>& info) { return info.param.name; });

void SetLe16(Bytes& bytes, std::size_t offset, std::uint16_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// DeviceLevelSet with a field changed; the set's total length is made to match the bytes.
Bytes Spoiled(std::size_t offset, std::uint16_t value) {
  Bytes set = DeviceLevelSet();
  SetLe16(set, offset, value);
  return set;
}

Bytes Prefix(const Bytes& bytes, std::size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

Bytes WithTotalLength(Bytes set) {
  SetLe16(set, 8, static_cast<std::uint16_t>(set.size()));
  return set;
}

// Offsets in DeviceLevelSet: header 0-9, compatible ID 10-29, the property from 30.
constexpr std::size_t PropertyOffset = 30;
constexpr std::size_t NameLengthOffset = PropertyOffset + 6;
constexpr std::size_t DataLengthOffset = PropertyOffset + 8 + 42;  // name: 20 characters and NUL

struct MalformedSet {
  const char* name;
  Bytes set;
};

void PrintTo(const MalformedSet& malformed, std::ostream* stream) {
  *stream << malformed.name;
}

class MalformedDescriptorSets : public ::testing::TestWithParam<MalformedSet> {};

TEST_P(MalformedDescriptorSets, AreRefused) {
  EXPECT_EQ(Find(GetParam().set), std::nullopt);
}

const Bytes Guid = Utf16(NevrikInterfaceGuid);

INSTANTIATE_TEST_SUITE_P(
    Sets, MalformedDescriptorSets,
    ::testing::Values(
        MalformedSet{"Empty", {}},
        MalformedSet{"HeaderOnlyPartly", Prefix(DeviceLevelSet(), 9)},
        MalformedSet{"TruncatedBelowTotalLength",
                     Prefix(DeviceLevelSet(), DeviceLevelSet().size() - 1)},
        MalformedSet{"TotalLengthBeyondBytes", Spoiled(8, 0xFFFF)},
        MalformedSet{"TotalLengthShort", Spoiled(8, 0x0A)},
        MalformedSet{"HeaderLengthWrong", Spoiled(0, 12)},
        MalformedSet{"HeaderTypeWrong", Spoiled(2, 0x01)},
        MalformedSet{"ZeroDescriptorLength", Spoiled(PropertyOffset, 0)},
        MalformedSet{"DescriptorShorterThanItsHeader", Spoiled(PropertyOffset, 3)},
        MalformedSet{"DescriptorOverrunsSet", Spoiled(PropertyOffset, 0x0200)},
        MalformedSet{"TrailingBytesShorterThanAHeader",
                     WithTotalLength([] {
                       Bytes set = DeviceLevelSet();
                       set.insert(set.end(), {4, 0, 0x04});
                       return set;
                     }())},
        MalformedSet{"PropertyTruncated",
                     WithTotalLength(Prefix(DeviceLevelSet(), DeviceLevelSet().size() - 3))},
        MalformedSet{"NameLengthOverrunsProperty", Spoiled(NameLengthOffset, 0x0400)},
        MalformedSet{"DataLengthOverrunsProperty", Spoiled(DataLengthOffset, 0x0400)},
        MalformedSet{"DataLengthShortOfProperty", Spoiled(DataLengthOffset, 4)},
        MalformedSet{"OddNameLength",
                     MsOs20SetWriter()
                         .Property(RegMultiSz,
                                   [] {
                                     Bytes name = Utf16("DeviceInterfaceGUIDs");
                                     name.push_back(0);
                                     return name;
                                   }(),
                                   usbbus::MultiString({NevrikInterfaceGuid}))
                         .Finish()},
        MalformedSet{"NameWithoutTerminator",
                     MsOs20SetWriter()
                         .Property(RegMultiSz, Utf16("DeviceInterfaceGUIDs", false),
                                   usbbus::MultiString({NevrikInterfaceGuid}))
                         .Finish()},
        MalformedSet{"EmptyName",
                     MsOs20SetWriter().Property(RegSz, {}, Utf16(NevrikInterfaceGuid)).Finish()},
        MalformedSet{"OddDataLength",
                     MsOs20SetWriter()
                         .Property(RegMultiSz, Utf16("DeviceInterfaceGUIDs"),
                                   [] {
                                     Bytes data = usbbus::MultiString({NevrikInterfaceGuid});
                                     data.push_back(0);
                                     return data;
                                   }())
                         .Finish()},
        MalformedSet{"MultiStringWithoutTerminator",
                     MsOs20SetWriter()
                         .Property(RegMultiSz, Utf16("DeviceInterfaceGUIDs"),
                                   Utf16(NevrikInterfaceGuid, false))
                         .Finish()},
        MalformedSet{"SecondStringWithoutTerminator",
                     MsOs20SetWriter()
                         .Property(RegMultiSz, Utf16("DeviceInterfaceGUIDs"),
                                   [] {
                                     Bytes data = Utf16(NevrikInterfaceGuid);
                                     const Bytes other = Utf16(OtherGuid, false);
                                     data.insert(data.end(), other.begin(), other.end());
                                     return data;
                                   }())
                         .Finish()},
        MalformedSet{"StringWithoutTerminator",
                     MsOs20SetWriter()
                         .Property(RegSz, Utf16("DeviceInterfaceGUID"),
                                   Utf16(NevrikInterfaceGuid, false))
                         .Finish()},
        MalformedSet{"EmptyString",
                     MsOs20SetWriter().Property(RegSz, Utf16("DeviceInterfaceGUID"), {}).Finish()},
        MalformedSet{"UnrelatedPropertyWithOddName",
                     MsOs20SetWriter()
                         .InterfaceGuids({NevrikInterfaceGuid})
                         .Property(RegSz, {'L', 0, 0}, Utf16("x"))
                         .Finish()},
        MalformedSet{"SecondSetHeader",
                     MsOs20SetWriter()
                         .InterfaceGuids({NevrikInterfaceGuid})
                         .Raw({10, 0, 0, 0, 0, 0, 3, 6, 10, 0})
                         .Finish()},
        MalformedSet{"FunctionSubsetOverrunsSet",
                     [] {
                       Bytes set = MsOs20SetWriter()
                                       .BeginFunction(0)
                                       .InterfaceGuids({NevrikInterfaceGuid})
                                       .Finish();
                       SetLe16(set, 10 + 6, static_cast<std::uint16_t>(set.size()));
                       return set;
                     }()},
        MalformedSet{"FunctionSubsetShorterThanItsHeader",
                     [] {
                       Bytes set = MsOs20SetWriter()
                                       .BeginFunction(0)
                                       .End()
                                       .InterfaceGuids({NevrikInterfaceGuid})
                                       .Finish();
                       SetLe16(set, 10 + 6, 4);
                       return set;
                     }()},
        MalformedSet{"SubsetHeaderLengthWrong",
                     [] {
                       Bytes set = MsOs20SetWriter()
                                       .BeginFunction(0)
                                       .InterfaceGuids({NevrikInterfaceGuid})
                                       .Finish();
                       SetLe16(set, 10, 6);
                       return set;
                     }()},
        MalformedSet{"FunctionSubsetOverrunsConfigurationSubset",
                     [] {
                       Bytes set = MsOs20SetWriter()
                                       .BeginConfiguration(0)
                                       .BeginFunction(0)
                                       .End()
                                       .End()
                                       .InterfaceGuids({NevrikInterfaceGuid})
                                       .Finish();
                       SetLe16(set, 18 + 6, 16);  // the function reaches past its configuration
                       return set;
                     }()},
        MalformedSet{"FunctionInFunction", MsOs20SetWriter()
                                               .BeginFunction(0)
                                               .BeginFunction(1)
                                               .InterfaceGuids({NevrikInterfaceGuid})
                                               .Finish()},
        MalformedSet{"ConfigurationInConfiguration", MsOs20SetWriter()
                                                         .BeginConfiguration(0)
                                                         .BeginConfiguration(0)
                                                         .InterfaceGuids({NevrikInterfaceGuid})
                                                         .Finish()},
        MalformedSet{"ConfigurationInFunction", MsOs20SetWriter()
                                                    .BeginFunction(0)
                                                    .BeginConfiguration(0)
                                                    .InterfaceGuids({NevrikInterfaceGuid})
                                                    .Finish()}),
    [](const ::testing::TestParamInfo<MalformedSet>& info) { return info.param.name; });

// Every length field cut short or spoiled: the reader must stay inside the bytes (the sanitizer
// build checks every access) and end, whatever it concludes.
TEST(HostileDescriptorSets, EveryTruncationAndByteValueIsReadSafely) {
  const Bytes nested = MsOs20SetWriter()
                           .BeginConfiguration(0)
                           .BeginFunction(1)
                           .CompatibleId("WINUSB")
                           .InterfaceGuids({OtherGuid, NevrikInterfaceGuid})
                           .End()
                           .BeginFunction(2)
                           .InterfaceGuid(NevrikInterfaceGuid)
                           .Finish();
  ASSERT_EQ(Find(nested), 1);
  // Where the two functions keep their first interface.
  constexpr std::size_t FirstFunctionInterface = 22;
  constexpr std::size_t SecondFunctionInterface = 260;
  ASSERT_EQ(nested[FirstFunctionInterface], 1);
  ASSERT_EQ(nested[SecondFunctionInterface], 2);

  // The configuration subset covers the whole set, so every cut leaves it overrunning.
  for (std::size_t length = 0; length < nested.size(); ++length) {
    const Bytes cut =
        length < 10 ? Prefix(nested, length) : WithTotalLength(Prefix(nested, length));
    EXPECT_EQ(Find(cut), std::nullopt) << "length " << length;
  }
  for (std::size_t offset = 0; offset < nested.size(); ++offset) {
    for (const std::uint8_t value : {0x00, 0x01, 0x03, 0x7F, 0x80, 0xFE, 0xFF}) {
      Bytes spoiled = nested;
      spoiled[offset] = value;
      const std::optional<std::uint8_t> found = Find(spoiled);
      // A spoiled subset type can put a property at configuration level (interface 0).
      EXPECT_TRUE(!found || *found == 0 || *found == spoiled[FirstFunctionInterface] ||
                  *found == spoiled[SecondFunctionInterface])
          << "offset " << offset << " value " << int{value};
    }
  }
}

TEST(MsOs20PlatformCapability, GivesTheVendorRequest) {
  const std::optional<MsOs20DescriptorSetInfo> info =
      ReadMsOs20PlatformCapability(usbbus::MsOs20PlatformCapability(0x00A2, 0x20));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->totalLength, 0x00A2);
  EXPECT_EQ(info->vendorCode, 0x20);
}

TEST(MsOs20PlatformCapability, TakesTheEntryForTheNewestWindows) {
  for (const bool newestFirst : {false, true}) {
    Bytes capability = usbbus::MsOs20PlatformCapability(0x0040, 0x11, 0x06030000);
    Bytes newer;
    usbbus::PutLe32(newer, 0x0A000000);
    usbbus::PutLe16(newer, 0x0050);
    newer.insert(newer.end(), {0x22, 0});
    capability.insert(newestFirst ? capability.begin() + 20 : capability.end(), newer.begin(),
                      newer.end());
    capability[0] = static_cast<std::uint8_t>(capability.size());
    const std::optional<MsOs20DescriptorSetInfo> info = ReadMsOs20PlatformCapability(capability);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->vendorCode, 0x22);
    EXPECT_EQ(info->totalLength, 0x0050);
  }
}

struct OtherCapability {
  const char* name;
  std::size_t offset;
  std::uint8_t value;
};

void PrintTo(const OtherCapability& other, std::ostream* stream) {
  *stream << other.name;
}

class NotMsOs20Capabilities : public ::testing::TestWithParam<OtherCapability> {};

TEST_P(NotMsOs20Capabilities, GiveNothing) {
  Bytes capability = usbbus::MsOs20PlatformCapability(0x00A2, 0x20);
  capability[GetParam().offset] = GetParam().value;
  EXPECT_EQ(ReadMsOs20PlatformCapability(capability), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Capabilities, NotMsOs20Capabilities,
                         ::testing::Values(OtherCapability{"OtherUuid", 19, 0x9E},
                                           OtherCapability{"NotADeviceCapability", 1, 0x04},
                                           OtherCapability{"NotPlatformCapability", 2, 0x02},
                                           OtherCapability{"LengthBeyondBytes", 0, 36},
                                           OtherCapability{"LengthWithoutAnEntry", 0, 20},
                                           OtherCapability{"LengthShortOfAnEntry", 0, 27},
                                           OtherCapability{"SetShorterThanItsHeader", 24, 9}),
                         [](const ::testing::TestParamInfo<OtherCapability>& info) {
                           return info.param.name;
                         });

TEST(MsOs20PlatformCapability, PartOfAnEntryGivesNothing) {
  Bytes capability = usbbus::MsOs20PlatformCapability(0x00A2, 0x20);
  capability.insert(capability.end(), {0, 0});
  capability[0] = static_cast<std::uint8_t>(capability.size());
  EXPECT_EQ(ReadMsOs20PlatformCapability(capability), std::nullopt);
}

TEST(MsOs20PlatformCapability, TooShortForItsHeaderGivesNothing) {
  const Bytes capability = usbbus::MsOs20PlatformCapability(0x00A2, 0x20);
  for (std::size_t length = 0; length < capability.size(); ++length) {
    EXPECT_EQ(ReadMsOs20PlatformCapability(std::span(capability).first(length)), std::nullopt);
  }
}

}  // namespace
}  // namespace nevrik
