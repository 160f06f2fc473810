#include "usb/winusb_enumerator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/windows/fake_platform.h"
#include "usb/platform_enumerator.h"
#include "usb/winusb_device.h"

namespace nevrik {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::IsNull;
using ::testing::NotNull;

constexpr GUID TestClass = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
constexpr const char* ClassDevsCall =
    "SetupDiGetClassDevsW({01234567-89AB-CDEF-0123-456789ABCDEF}, null, null, 0x12)";

// The platform's calls for member index i of the set.
std::string EnumCall(int member) {
  return "SetupDiEnumDeviceInterfaces(devinfo1, null, {01234567-89AB-CDEF-0123-456789ABCDEF}, " +
         std::to_string(member) + ", cbSize 32)";
}
std::string SizeQueryCall(int member) {
  return "SetupDiGetDeviceInterfaceDetailW(devinfo1, member " + std::to_string(member) +
         ", null, 0, size, null)";
}
// The record's size field is that of its fixed part (8 in a 64-bit process), whatever the size
// of the buffer.
std::string DetailCall(int member, int bufferSize) {
  return "SetupDiGetDeviceInterfaceDetailW(devinfo1, member " + std::to_string(member) +
         ", cbSize 8, " + std::to_string(bufferSize) + ", null, device)";
}
// After a member's path: its location paths, into a buffer of 512 characters less the last.
std::string PropertyCall(int member) {
  return "SetupDiGetDeviceRegistryPropertyW(devinfo1, member " + std::to_string(member) +
         ", 0x23, 1022)";
}
constexpr const char* DestroyCall = "SetupDiDestroyDeviceInfoList(devinfo1)";

// Detail sizes: 4 bytes of cbSize, then the path and its zero as 2-byte characters.
const std::wstring PathA = L"\\\\?\\usb#nevrik#a";           // 16 characters: 38 bytes
const std::wstring PathB = L"\\\\?\\usb#nevrik#bbbbbbbbbb";  // 25 characters: 56 bytes
const std::wstring PathC = L"\\\\?\\usb#nevrik#c";           // 16 characters: 38 bytes

std::string CreateFileCall(const std::string& path) {
  return "CreateFileW(\"" + path + "\", 0xC0000000, 0x3, null, 3, 0x40000080, null)";
}

class WinUsbEnumeratorTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_THAT(platform.OpenHandles(), IsEmpty()); }

  FakePlatform platform;
  FakePlatform::Installation installation{platform};
  WinUsbEnumerator enumerator{TestClass};
};

TEST_F(WinUsbEnumeratorTest, NoDevicePresent) {
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_TRUE(enumerator.IsEmpty());
  EXPECT_EQ(enumerator.GetCount(), 0u);
  EXPECT_THAT(platform.Calls(), ElementsAre(ClassDevsCall, EnumCall(0), DestroyCall));
}

TEST_F(WinUsbEnumeratorTest, TwoDevicesInThePlatformsOrder) {
  platform.interfaces = {{.devicePath = PathA}, {.devicePath = PathB}};
  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_FALSE(enumerator.IsEmpty());
  EXPECT_EQ(enumerator.GetCount(), 2u);
  EXPECT_THAT(platform.Calls(),
              ElementsAre(ClassDevsCall, EnumCall(0), SizeQueryCall(0), DetailCall(0, 38),
                          PropertyCall(0), EnumCall(1), SizeQueryCall(1), DetailCall(1, 56),
                          PropertyCall(1), EnumCall(2), DestroyCall));

  platform.ClearCalls();
  EXPECT_THAT(enumerator.OpenDeviceOrNull(1), NotNull());
  EXPECT_THAT(enumerator.OpenDeviceOrNull(0), NotNull());
  EXPECT_EQ(platform.Calls().front(), CreateFileCall(R"(\\?\usb#nevrik#bbbbbbbbbb)"));
  EXPECT_THAT(platform.Calls(), ::testing::Contains(CreateFileCall(R"(\\?\usb#nevrik#a)")));
}

TEST_F(WinUsbEnumeratorTest, MemberThatCannotBeListedIsSkipped) {
  platform.interfaces = {
      {.devicePath = PathA}, {.enumError = ERROR_GEN_FAILURE}, {.devicePath = PathC}};
  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 2u);
  EXPECT_THAT(platform.Calls(),
              ElementsAre(ClassDevsCall, EnumCall(0), SizeQueryCall(0), DetailCall(0, 38),
                          PropertyCall(0), EnumCall(1), EnumCall(2), SizeQueryCall(2),
                          DetailCall(2, 38), PropertyCall(2), EnumCall(3), DestroyCall));
}

// A set that fails every member with another error than its end is not walked to 2^32: 16 errors
// in a row end the enumeration, while a run of 15 is skipped over.
TEST_F(WinUsbEnumeratorTest, SixteenListingErrorsInARowEndTheEnumeration) {
  for (int i = 0; i < 15; ++i) {
    platform.interfaces.push_back({.enumError = ERROR_INVALID_HANDLE});
  }
  platform.interfaces.push_back({.devicePath = PathA});
  for (int i = 0; i < 40; ++i) {
    platform.interfaces.push_back({.enumError = ERROR_INVALID_HANDLE});
  }
  platform.interfaces.push_back({.devicePath = PathB});

  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 1u);
  const std::vector<std::string>& calls = platform.Calls();
  ASSERT_EQ(calls.size(), 1u + 16 + 3 + 16 + 1);
  EXPECT_EQ(calls[16], EnumCall(15));
  EXPECT_EQ(calls[calls.size() - 2], EnumCall(31));
  EXPECT_EQ(calls.back(), DestroyCall);
}

TEST_F(WinUsbEnumeratorTest, MemberWithRequiredSizeZeroIsSkipped) {
  platform.interfaces = {
      {.devicePath = PathA}, {.devicePath = PathB, .requiredSize = 0}, {.devicePath = PathC}};
  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 2u);
  EXPECT_THAT(
      platform.Calls(),
      ElementsAre(ClassDevsCall, EnumCall(0), SizeQueryCall(0), DetailCall(0, 38), PropertyCall(0),
                  EnumCall(1), SizeQueryCall(1), EnumCall(2), SizeQueryCall(2), DetailCall(2, 38),
                  PropertyCall(2), EnumCall(3), DestroyCall));

  platform.ClearCalls();
  std::unique_ptr<KvUsbDevice> device;
  enumerator.OpenDevice(1, device);
  EXPECT_EQ(platform.Calls().front(), CreateFileCall(R"(\\?\usb#nevrik#c)"));
}

TEST_F(WinUsbEnumeratorTest, FailingDetailCallEndsTheListWithThePathsFoundSoFar) {
  platform.interfaces = {{.devicePath = PathA},
                         {.devicePath = PathB, .detailError = ERROR_INVALID_USER_BUFFER},
                         {.devicePath = PathC}};
  EXPECT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 1u);
  EXPECT_THAT(platform.Calls(), ElementsAre(ClassDevsCall, EnumCall(0), SizeQueryCall(0),
                                            DetailCall(0, 38), PropertyCall(0), EnumCall(1),
                                            SizeQueryCall(1), DetailCall(1, 56), DestroyCall));
}

TEST_F(WinUsbEnumeratorTest, FailingDetailCallForTheFirstMemberLeavesTheListEmpty) {
  platform.interfaces = {{.devicePath = PathA, .detailError = ERROR_INVALID_USER_BUFFER},
                         {.devicePath = PathB}};
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_TRUE(enumerator.IsEmpty());
}

TEST_F(WinUsbEnumeratorTest, NoSetMeansNoDevicesAndNothingToDestroy) {
  platform.interfaces = {{.devicePath = PathA}};
  platform.getClassDevsSucceeds = false;
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 0u);
  EXPECT_THAT(platform.Calls(), ElementsAre(ClassDevsCall));
}

TEST_F(WinUsbEnumeratorTest, EnumerateReplacesTheList) {
  platform.interfaces = {{.devicePath = PathA}, {.devicePath = PathB}};
  ASSERT_TRUE(enumerator.Enumerate());
  platform.interfaces = {{.devicePath = PathC}};
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 1u);

  platform.ClearCalls();
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
  EXPECT_EQ(platform.Calls().front(), CreateFileCall(R"(\\?\usb#nevrik#c)"));
  device.reset();

  platform.interfaces = {};
  EXPECT_FALSE(enumerator.Enumerate());
  EXPECT_EQ(enumerator.GetCount(), 0u);
}

TEST_F(WinUsbEnumeratorTest, OpenDeviceHandsOutAnOpenDeviceWithShortPacketTerminationOff) {
  platform.interfaces = {{.devicePath = PathA}};
  platform.endpoints = {{UsbdPipeTypeBulk, 0x81, 64}, {UsbdPipeTypeBulk, 0x02, 64}};
  ASSERT_TRUE(enumerator.Enumerate());
  platform.ClearCalls();

  std::unique_ptr<KvUsbDevice> device;
  ASSERT_EQ(enumerator.OpenDevice(0, device), UsbOpenResult::Opened);
  ASSERT_THAT(device, NotNull());
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(device->GetInPipeCount(), 1u);
  EXPECT_EQ(device->GetOutPipeCount(), 1u);
  // Policy type 1, SHORT_PACKET_TERMINATE, is not set; only the time-outs (type 3) are.
  for (const std::string& call : platform.Calls()) {
    EXPECT_THAT(call, ::testing::Not(::testing::HasSubstr(", 1, [")));
  }
}

TEST_F(WinUsbEnumeratorTest, OpenedDeviceOutlivesTheEnumerator) {
  platform.interfaces = {{.devicePath = PathA}};
  platform.endpoints = {{UsbdPipeTypeBulk, 0x81, 64}, {UsbdPipeTypeBulk, 0x02, 64}};
  std::unique_ptr<KvUsbDevice> device;
  {
    WinUsbEnumerator scoped(TestClass);
    ASSERT_TRUE(scoped.Enumerate());
    device = scoped.OpenDeviceOrNull(0);
  }
  ASSERT_THAT(device, NotNull());
  EXPECT_TRUE(device->Write(0, nullptr, 0));
}

TEST_F(WinUsbEnumeratorTest, OpenDeviceAtTheCountFailsWithoutTouchingThePlatform) {
  platform.interfaces = {{.devicePath = PathA}};
  ASSERT_TRUE(enumerator.Enumerate());
  platform.ClearCalls();

  std::unique_ptr<KvUsbDevice> device = std::make_unique<WinUsbDevice>();
  EXPECT_EQ(enumerator.OpenDevice(1, device), UsbOpenResult::OpenFailed);
  EXPECT_THAT(device, IsNull());
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(WinUsbEnumeratorTest, OpenDeviceOrNullAtTheCountThrows) {
  platform.interfaces = {{.devicePath = PathA}};
  ASSERT_TRUE(enumerator.Enumerate());
  EXPECT_THROW(enumerator.OpenDeviceOrNull(1), std::out_of_range);
  EXPECT_THROW(WinUsbEnumerator(TestClass).OpenDeviceOrNull(0), std::out_of_range);
}

struct OpenFailure {
  DWORD error;
  UsbOpenResult result;
};

void PrintTo(const OpenFailure& failure, std::ostream* out) {
  *out << "error " << failure.error << ", result " << static_cast<int>(failure.result);
}

class WinUsbEnumeratorOpenTest : public WinUsbEnumeratorTest,
                                 public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(WinUsbEnumeratorOpenTest, OpenFailureIsReportedAndNoDeviceIsHandedOut) {
  platform.interfaces = {{.devicePath = PathA}};
  ASSERT_TRUE(enumerator.Enumerate());
  platform.createFileError = GetParam().error;
  std::unique_ptr<KvUsbDevice> device;
  EXPECT_EQ(enumerator.OpenDevice(0, device), GetParam().result);
  EXPECT_THAT(device, IsNull());
  EXPECT_THAT(enumerator.OpenDeviceOrNull(0), IsNull());
}

INSTANTIATE_TEST_SUITE_P(
    Errors, WinUsbEnumeratorOpenTest,
    ::testing::Values(OpenFailure{ERROR_FILE_NOT_FOUND, UsbOpenResult::PathNotFound},
                      OpenFailure{ERROR_ACCESS_DENIED, UsbOpenResult::AccessDenied},
                      OpenFailure{ERROR_GEN_FAILURE, UsbOpenResult::OpenFailed}),
    [](const auto& info) { return "Error" + std::to_string(info.param.error); });

TEST_F(WinUsbEnumeratorTest, PlatformEnumeratorLooksForTheNevrikInterfaceClass) {
  const std::unique_ptr<KvUsbEnumerator> platformEnumerator = MakePlatformEnumerator();
  EXPECT_FALSE(platformEnumerator->Enumerate());
  ASSERT_FALSE(platform.Calls().empty());
  EXPECT_EQ(platform.Calls().front(),
            "SetupDiGetClassDevsW({EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}, null, null, 0x12)");
}

}  // namespace
}  // namespace nevrik

namespace nevrik {
namespace {

// The identity comes from what listing read: the device interface path, and the location paths
// of the device. No device is opened for it.
TEST_F(WinUsbEnumeratorTest, IdentityIsReadFromTheDeviceInterfacePath) {
  struct Case {
    std::wstring path;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::optional<std::string> serial;
    std::wstring location = L"";
  };
  const std::vector<Case> cases = {
      {L"\\\\?\\usb#vid_1209&pid_0001#NVKSIM0000000007#{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}",
       0x1209, 0x0001, "NVKSIM0000000007", L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)"},
      // No serial number: Windows made up the instance ID (as for an interface of a composite
      // device).
      {L"\\\\?\\usb#vid_1209&pid_4e56&mi_02#7&1a2b3c4d&0&0002#{eb3fb26e}", 0x1209, 0x4e56,
       std::nullopt},
      {L"\\\\?\\usb#nevrik#a", 0, 0, std::nullopt},
  };
  for (const Case& test : cases) {
    platform.interfaces = {{.devicePath = test.path, .locationPath = test.location}};
    WinUsbEnumerator enumerator(TestClass);
    ASSERT_TRUE(enumerator.Enumerate());
    const UsbKeyIdentity identity = enumerator.GetIdentity(0);
    EXPECT_EQ(identity.path, test.path);
    EXPECT_EQ(identity.vendorId, test.vendorId);
    EXPECT_EQ(identity.productId, test.productId);
    EXPECT_EQ(identity.serialNumber, test.serial);
    EXPECT_EQ(identity.location, std::string(test.location.begin(), test.location.end()));
    EXPECT_EQ(enumerator.GetIdentity(1).vendorId, 0);
  }
  for (const std::string& call : platform.Calls()) {
    EXPECT_FALSE(call.starts_with("CreateFileW")) << call;
  }
}

}  // namespace
}  // namespace nevrik
