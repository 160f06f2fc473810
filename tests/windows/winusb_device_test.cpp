#include "usb/winusb_device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/windows/fake_platform.h"

namespace nevrik {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

const std::wstring DevicePath = L"\\\\?\\usb#nevrik#1";
constexpr const char* CreateFileCall =
    R"(CreateFileW("\\?\usb#nevrik#1", 0xC0000000, 0x3, null, 3, 0x40000080, null))";

FakePlatform::Endpoint Bulk(std::uint8_t pipeId, std::uint16_t maxPacketSize = 64) {
  return {UsbdPipeTypeBulk, pipeId, maxPacketSize};
}

// The time-outs every open sets (policy type 3 is PIPE_TRANSFER_TIMEOUT, milliseconds as 4
// bytes): 5 s on the default control pipe and on bulk OUT pipes, 10 s on bulk IN pipes.
std::string TimeoutCall(std::uint8_t pipeId, const std::string& winUsbHandle = "winusb1") {
  char id[8];
  std::snprintf(id, sizeof id, "0x%02X", pipeId);
  const bool in = (pipeId & 0x80) != 0;
  return "WinUsb_SetPipePolicy(" + winUsbHandle + ", " + id + ", 3, " +
         (in ? "[10 27 00 00])" : "[88 13 00 00])");
}
const std::string ControlTimeoutCall = TimeoutCall(0x00);

FakePlatform::Endpoint Interrupt(std::uint8_t pipeId) {
  return {UsbdPipeTypeInterrupt, pipeId, 8};
}

Bytes Sequence(std::size_t length, std::uint8_t first = 0) {
  Bytes bytes(length);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

class WinUsbDeviceTest : public ::testing::Test {
 protected:
  // Every device of a test is gone by now; whatever it opened must have been released.
  void TearDown() override { EXPECT_THAT(platform.OpenHandles(), IsEmpty()); }

  // Opens device on an interface with one bulk IN pipe 0x81 and one bulk OUT pipe 0x02 of 64
  // bytes, and forgets the calls of the open.
  void OpenPlain(WinUsbDevice& device) {
    platform.endpoints = {Bulk(0x81), Bulk(0x02)};
    ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
    platform.ClearCalls();
  }

  FakePlatform platform;
  FakePlatform::Installation installation{platform};
};

TEST_F(WinUsbDeviceTest, NewDeviceIsClosedWithoutPipes) {
  WinUsbDevice device;
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetInPipeCount(), 0u);
  EXPECT_EQ(device.GetOutPipeCount(), 0u);
  device.Close();
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, OpenCreatesTheFileAsWinUsbNeedsAndScansAlternateSettingZero) {
  platform.endpoints = {Interrupt(0x83), Bulk(0x81), Bulk(0x02)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);

  // Read and write access, shared, existing only, overlapped.
  EXPECT_THAT(platform.Calls(),
              ElementsAre(CreateFileCall, "WinUsb_Initialize(file1)", ControlTimeoutCall,
                          "WinUsb_QueryInterfaceSettings(winusb1, 0)",
                          "WinUsb_QueryPipe(winusb1, 0, 0)", "WinUsb_QueryPipe(winusb1, 0, 1)",
                          TimeoutCall(0x81), "WinUsb_QueryPipe(winusb1, 0, 2)", TimeoutCall(0x02)));
  EXPECT_TRUE(device.IsOpen());
  ASSERT_EQ(device.GetInPipeCount(), 1u);
  EXPECT_EQ(device.GetInPipeId(0), 0x81);
  ASSERT_EQ(device.GetOutPipeCount(), 1u);
  EXPECT_EQ(device.GetOutPipeId(0), 0x02);
}

struct CreateFileFailure {
  DWORD error;
  UsbOpenResult result;
};

void PrintTo(const CreateFileFailure& failure, std::ostream* out) {
  *out << "error " << failure.error << ", result " << static_cast<int>(failure.result);
}

class WinUsbDeviceCreateFileTest : public WinUsbDeviceTest,
                                   public ::testing::WithParamInterface<CreateFileFailure> {};

TEST_P(WinUsbDeviceCreateFileTest, ErrorDecidesTheResultAndNothingElseIsCalled) {
  platform.endpoints = {Bulk(0x81), Bulk(0x02)};
  platform.createFileError = GetParam().error;
  WinUsbDevice device;
  EXPECT_EQ(device.OpenWithResult(DevicePath, false), GetParam().result);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetInPipeCount(), 0u);
  EXPECT_EQ(device.GetOutPipeCount(), 0u);
  EXPECT_FALSE(device.Open(DevicePath, false));
  EXPECT_THAT(platform.Calls(), ElementsAre(CreateFileCall, CreateFileCall));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, WinUsbDeviceCreateFileTest,
    ::testing::Values(CreateFileFailure{ERROR_ACCESS_DENIED, UsbOpenResult::AccessDenied},
                      CreateFileFailure{ERROR_FILE_NOT_FOUND, UsbOpenResult::PathNotFound},
                      CreateFileFailure{ERROR_PATH_NOT_FOUND, UsbOpenResult::OpenFailed},
                      CreateFileFailure{ERROR_SHARING_VIOLATION, UsbOpenResult::OpenFailed},
                      CreateFileFailure{ERROR_GEN_FAILURE, UsbOpenResult::OpenFailed}),
    [](const auto& info) { return "Error" + std::to_string(info.param.error); });

TEST_F(WinUsbDeviceTest, FailedInitializeClosesTheFile) {
  platform.endpoints = {Bulk(0x81), Bulk(0x02)};
  platform.initializeSucceeds = false;
  WinUsbDevice device;
  EXPECT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::OpenFailed);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_THAT(platform.Calls(),
              ElementsAre(CreateFileCall, "WinUsb_Initialize(file1)", "CloseHandle(file1)"));
  EXPECT_THAT(platform.OpenHandles(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, FailedSettingsQueryReleasesTheInterfaceThenTheFile) {
  platform.endpoints = {Bulk(0x81), Bulk(0x02)};
  platform.querySettingsSucceeds = false;
  WinUsbDevice device;
  EXPECT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::OpenFailed);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetInPipeCount() + device.GetOutPipeCount(), 0u);
  EXPECT_THAT(platform.Calls(),
              ElementsAre(CreateFileCall, "WinUsb_Initialize(file1)", ControlTimeoutCall,
                          "WinUsb_QueryInterfaceSettings(winusb1, 0)", "WinUsb_Free(winusb1)",
                          "CloseHandle(file1)"));
  EXPECT_THAT(platform.OpenHandles(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, FailingPipeQueryEndsTheScanAndKeepsThePipesFoundSoFar) {
  platform.endpoints = {Bulk(0x81), Bulk(0x01), Bulk(0x82), Bulk(0x02)};
  platform.queryPipeFailsAt = 2;
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
  EXPECT_THAT(
      platform.Calls(),
      ElementsAre(CreateFileCall, "WinUsb_Initialize(file1)", ControlTimeoutCall,
                  "WinUsb_QueryInterfaceSettings(winusb1, 0)", "WinUsb_QueryPipe(winusb1, 0, 0)",
                  TimeoutCall(0x81), "WinUsb_QueryPipe(winusb1, 0, 1)", TimeoutCall(0x01),
                  "WinUsb_QueryPipe(winusb1, 0, 2)"));
  ASSERT_EQ(device.GetInPipeCount(), 1u);
  EXPECT_EQ(device.GetInPipeId(0), 0x81);
  ASSERT_EQ(device.GetOutPipeCount(), 1u);
  EXPECT_EQ(device.GetOutPipeId(0), 0x01);
}

TEST_F(WinUsbDeviceTest, OnlyBulkEndpointsBecomePipesInEndpointOrder) {
  platform.endpoints = {
      Interrupt(0x83), Bulk(0x01), {UsbdPipeTypeIsochronous, 0x84, 192}, Bulk(0x82),
      Interrupt(0x03), Bulk(0x81), {UsbdPipeTypeControl, 0x00, 64},      Bulk(0x05)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
  ASSERT_EQ(device.GetInPipeCount(), 2u);
  EXPECT_EQ(device.GetInPipeId(0), 0x82);
  EXPECT_EQ(device.GetInPipeId(1), 0x81);
  ASSERT_EQ(device.GetOutPipeCount(), 2u);
  EXPECT_EQ(device.GetOutPipeId(0), 0x01);
  EXPECT_EQ(device.GetOutPipeId(1), 0x05);
}

// A pipe that reports packets of 0 bytes could never stage one; it is not offered at all.
TEST_F(WinUsbDeviceTest, BulkInEndpointWithPacketSizeZeroIsSkipped) {
  platform.endpoints = {Bulk(0x81, 0), Bulk(0x82, 64), Bulk(0x02)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
  ASSERT_EQ(device.GetInPipeCount(), 1u);
  EXPECT_EQ(device.GetInPipeId(0), 0x82);
}

TEST_F(WinUsbDeviceTest, PipeIdBeyondTheCountThrows) {
  WinUsbDevice device;
  OpenPlain(device);
  EXPECT_THROW(device.GetInPipeId(1), std::out_of_range);
  EXPECT_THROW(device.GetOutPipeId(1), std::out_of_range);
}

TEST_F(WinUsbDeviceTest, OpenWithShortPacketTerminateSetsThePolicyOnEachOutPipe) {
  platform.endpoints = {Bulk(0x01), Bulk(0x81), Bulk(0x02)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, true), UsbOpenResult::Opened);
  // Policy type 1 is SHORT_PACKET_TERMINATE, given as a 4-byte 1.
  EXPECT_THAT(
      platform.Calls(),
      ElementsAre(CreateFileCall, "WinUsb_Initialize(file1)", ControlTimeoutCall,
                  "WinUsb_QueryInterfaceSettings(winusb1, 0)", "WinUsb_QueryPipe(winusb1, 0, 0)",
                  "WinUsb_SetPipePolicy(winusb1, 0x01, 1, [01 00 00 00])", TimeoutCall(0x01),
                  "WinUsb_QueryPipe(winusb1, 0, 1)", TimeoutCall(0x81),
                  "WinUsb_QueryPipe(winusb1, 0, 2)",
                  "WinUsb_SetPipePolicy(winusb1, 0x02, 1, [01 00 00 00])", TimeoutCall(0x02)));
}

TEST_F(WinUsbDeviceTest, RefusedShortPacketPolicyDoesNotFailTheOpen) {
  platform.endpoints = {Bulk(0x81), Bulk(0x02)};
  platform.setPipePolicySucceeds = false;
  WinUsbDevice device;
  EXPECT_EQ(device.OpenWithResult(DevicePath, true), UsbOpenResult::Opened);
  EXPECT_EQ(device.GetOutPipeCount(), 1u);
}

TEST_F(WinUsbDeviceTest, OpenWithShortPacketTerminateMakesInPipesConsumeTheZeroLengthPacket) {
  platform.endpoints = {Bulk(0x81), Bulk(0x02)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, true), UsbOpenResult::Opened);
  platform.ClearCalls();
  platform.reads = {{.data = Sequence(64)}, {}};
  Bytes data(64);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device.Read(0, data.data(), 64, &transferred));
  EXPECT_EQ(transferred, 64u);
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 64, null)",
                                            "WinUsb_ReadPipe(winusb1, 0x81, 64, null)"));
}

TEST_F(WinUsbDeviceTest, CloseReleasesTheInterfaceBeforeTheFileAndForgetsThePipes) {
  WinUsbDevice device;
  OpenPlain(device);
  device.Close();
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_Free(winusb1)", "CloseHandle(file1)"));
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetInPipeCount() + device.GetOutPipeCount(), 0u);

  platform.ClearCalls();
  device.Close();
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, DestructorCloses) {
  {
    WinUsbDevice device;
    OpenPlain(device);
  }
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_Free(winusb1)", "CloseHandle(file1)"));
}

TEST_F(WinUsbDeviceTest, ReopeningClosesFirstAndRebuildsThePipes) {
  WinUsbDevice device;
  OpenPlain(device);
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
  EXPECT_THAT(platform.Calls(),
              ElementsAre("WinUsb_Free(winusb1)", "CloseHandle(file1)", CreateFileCall,
                          "WinUsb_Initialize(file2)", TimeoutCall(0x00, "winusb2"),
                          "WinUsb_QueryInterfaceSettings(winusb2, 0)",
                          "WinUsb_QueryPipe(winusb2, 0, 0)", TimeoutCall(0x81, "winusb2"),
                          "WinUsb_QueryPipe(winusb2, 0, 1)", TimeoutCall(0x02, "winusb2")));
  EXPECT_EQ(device.GetInPipeCount(), 1u);
  EXPECT_EQ(device.GetOutPipeCount(), 1u);
}

TEST_F(WinUsbDeviceTest, FailedReopenLeavesTheDeviceClosed) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.createFileError = ERROR_FILE_NOT_FOUND;
  EXPECT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::PathNotFound);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.GetInPipeCount() + device.GetOutPipeCount(), 0u);
}

TEST_F(WinUsbDeviceTest, ShortPacketTerminateOnAnOutPipeIsThePlatformsAnswer) {
  WinUsbDevice device;
  OpenPlain(device);
  EXPECT_TRUE(device.EnableShortPacketTerminate(0x02));
  platform.setPipePolicySucceeds = false;
  EXPECT_FALSE(device.EnableShortPacketTerminate(0x02));
  EXPECT_THAT(platform.Calls(),
              ElementsAre("WinUsb_SetPipePolicy(winusb1, 0x02, 1, [01 00 00 00])",
                          "WinUsb_SetPipePolicy(winusb1, 0x02, 1, [01 00 00 00])"));
}

TEST_F(WinUsbDeviceTest, ShortPacketTerminateOnAnInPipeIsTheHostsOwnAndAlwaysSucceeds) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.setPipePolicySucceeds = false;
  EXPECT_TRUE(device.EnableShortPacketTerminate(0x81));
  EXPECT_THAT(platform.Calls(), IsEmpty());

  // From now on a used-up full packet is followed by a read of the zero-length packet.
  platform.reads = {{.data = Sequence(64)}, {}};
  Bytes data(8);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device.Read(0, data.data(), 8, &transferred));
  data.resize(56);
  ASSERT_TRUE(device.Read(0, data.data(), 56, &transferred));
  EXPECT_EQ(transferred, 56u);
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 64, null)",
                                            "WinUsb_ReadPipe(winusb1, 0x81, 64, null)"));
}

TEST_F(WinUsbDeviceTest, ShortPacketTerminateOnAnUnknownIdIsFalse) {
  platform.endpoints = {Interrupt(0x83), Bulk(0x81), Bulk(0x02)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
  platform.ClearCalls();
  EXPECT_FALSE(device.EnableShortPacketTerminate(0x83));  // an endpoint, but no pipe
  EXPECT_FALSE(device.EnableShortPacketTerminate(0x01));
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, PipeTimeoutIsThePipeTransferTimeoutPolicy) {
  WinUsbDevice device;
  OpenPlain(device);
  EXPECT_TRUE(device.SetPipeTimeout(0x81, 5000));
  platform.setPipePolicySucceeds = false;
  EXPECT_FALSE(device.SetPipeTimeout(0x07, 0x01020304));
  // Policy type 3 is PIPE_TRANSFER_TIMEOUT, milliseconds as 4 bytes.
  EXPECT_THAT(platform.Calls(),
              ElementsAre("WinUsb_SetPipePolicy(winusb1, 0x81, 3, [88 13 00 00])",
                          "WinUsb_SetPipePolicy(winusb1, 0x07, 3, [04 03 02 01])"));
}

TEST_F(WinUsbDeviceTest, ControlTransferSendsTheSetupPacketLittleEndian) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.controlReply = {0xA1, 0xA2, 0xA3};
  Bytes data(6);
  EXPECT_TRUE(device.ControlTransfer(0xC1, 0x09, 0x1234, 0xABCD, 6, data.data()));
  EXPECT_EQ(data, (Bytes{0xA1, 0xA2, 0xA3, 0, 0, 0}));
  EXPECT_TRUE(device.ControlTransfer(0x41, 0x01, 0, 0, 0, nullptr));
  platform.controlTransferSucceeds = false;
  EXPECT_FALSE(device.ControlTransfer(0x41, 0x01, 0, 0, 0, nullptr));
  EXPECT_THAT(
      platform.Calls(),
      ElementsAre("WinUsb_ControlTransfer(winusb1, [C1 09 34 12 CD AB 06 00], buffer, 6, null)",
                  "WinUsb_ControlTransfer(winusb1, [41 01 00 00 00 00 00 00], null, 0, null)",
                  "WinUsb_ControlTransfer(winusb1, [41 01 00 00 00 00 00 00], null, 0, null)"));
}

TEST_F(WinUsbDeviceTest, HaltStatusIsGetStatusToTheEndpoint) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.controlReply = {0x01, 0x00};
  EXPECT_TRUE(device.IsPipeHalted(0x81));
  platform.controlReply = {0x00, 0x00};
  EXPECT_FALSE(device.IsPipeHalted(0x02));
  platform.controlReply = {0xFE, 0xFF};  // every bit but Halt
  EXPECT_FALSE(device.IsPipeHalted(0x81));
  EXPECT_THAT(
      platform.Calls(),
      ElementsAre("WinUsb_ControlTransfer(winusb1, [82 00 00 00 81 00 02 00], buffer, 2, null)",
                  "WinUsb_ControlTransfer(winusb1, [82 00 00 00 02 00 02 00], buffer, 2, null)",
                  "WinUsb_ControlTransfer(winusb1, [82 00 00 00 81 00 02 00], buffer, 2, null)"));
}

TEST_F(WinUsbDeviceTest, FailedGetStatusReadsAsNotHalted) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.controlTransferSucceeds = false;
  platform.controlReply = {0x01, 0x00};  // left in the buffer by the failing transfer
  EXPECT_FALSE(device.IsPipeHalted(0x81));
}

// The request goes through the virtual ControlTransfer, so a device that overrides it answers.
TEST_F(WinUsbDeviceTest, HaltStatusGoesThroughTheVirtualControlTransfer) {
  struct Request {
    std::uint8_t requestType, request;
    std::uint16_t value, index, length;
  };
  class RecordingDevice : public WinUsbDevice {
   public:
    bool ControlTransfer(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint16_t length, std::uint8_t* data) override {
      requests.push_back({requestType, request, value, index, length});
      data[0] = 0x01;
      return true;
    }
    std::vector<Request> requests;
  };
  RecordingDevice device;
  EXPECT_TRUE(device.IsPipeHalted(0x82));
  ASSERT_EQ(device.requests.size(), 1u);
  EXPECT_EQ(device.requests[0].requestType, 0x82);
  EXPECT_EQ(device.requests[0].request, 0x00);
  EXPECT_EQ(device.requests[0].value, 0);
  EXPECT_EQ(device.requests[0].index, 0x82);
  EXPECT_EQ(device.requests[0].length, 2);
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, WriteSendsExactlyTheBytesOnTheOutPipeAtTheIndex) {
  platform.endpoints = {Bulk(0x01), Bulk(0x81), Bulk(0x02)};
  WinUsbDevice device;
  ASSERT_EQ(device.OpenWithResult(DevicePath, false), UsbOpenResult::Opened);
  platform.ClearCalls();
  const Bytes data = {0x4E, 0x56, 0x4B, 0x57};
  EXPECT_TRUE(device.Write(1, data.data(), 4));
  EXPECT_TRUE(device.Write(0, data.data(), 3));
  EXPECT_THAT(platform.Calls(),
              ElementsAre("WinUsb_WritePipe(winusb1, 0x02, [4E 56 4B 57], 4, null)",
                          "WinUsb_WritePipe(winusb1, 0x01, [4E 56 4B], 3, null)"));
}

TEST_F(WinUsbDeviceTest, WriteOfNothingIsAZeroLengthTransfer) {
  WinUsbDevice device;
  OpenPlain(device);
  EXPECT_TRUE(device.Write(0, nullptr, 0));
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_WritePipe(winusb1, 0x02, null, 0, null)"));
}

TEST_F(WinUsbDeviceTest, WriteRefusesNullDataWithALengthAndABadIndexWithoutACall) {
  WinUsbDevice device;
  OpenPlain(device);
  const Bytes data(5);
  EXPECT_FALSE(device.Write(0, nullptr, 5));
  EXPECT_FALSE(device.Write(1, data.data(), 5));
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(WinUsbDeviceTest, WriteFailsWhenTheCountFallsShortOrThePlatformFails) {
  WinUsbDevice device;
  OpenPlain(device);
  const Bytes data(5);
  platform.writeReports = 4;
  EXPECT_FALSE(device.Write(0, data.data(), 5));
  platform.writeReports.reset();
  platform.writeSucceeds = false;
  EXPECT_FALSE(device.Write(0, data.data(), 5));
  EXPECT_EQ(platform.Calls().size(), 2u);
}

TEST_F(WinUsbDeviceTest, ReadTakesAResponseInPiecesThroughTheStaging) {
  WinUsbDevice device;
  OpenPlain(device);
  const Bytes response = Sequence(20);
  platform.reads = {{.data = response}};
  Bytes header(8), payload(12);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device.Read(0, header.data(), 8, &transferred));
  EXPECT_EQ(transferred, 8u);
  ASSERT_TRUE(device.Read(0, payload.data(), 12, &transferred));
  EXPECT_EQ(transferred, 12u);
  EXPECT_THAT(header, ElementsAreArray(response.begin(), response.begin() + 8));
  EXPECT_THAT(payload, ElementsAreArray(response.begin() + 8, response.end()));
  // The second piece was staged already.
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 64, null)"));
}

TEST_F(WinUsbDeviceTest, ReadOfWholePacketsGoesStraightToTheCaller) {
  WinUsbDevice device;
  OpenPlain(device);
  const Bytes response = Sequence(200);
  platform.reads = {{.data = Bytes(response.begin(), response.begin() + 192)},
                    {.data = Bytes(response.begin() + 192, response.end())}};
  Bytes data(200);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device.Read(0, data.data(), 200, &transferred));
  EXPECT_EQ(transferred, 200u);
  EXPECT_EQ(data, response);
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 192, null)",
                                            "WinUsb_ReadPipe(winusb1, 0x81, 64, null)"));
}

TEST_F(WinUsbDeviceTest, ReadFailsWithThePlatformAndRefusesBadArgumentsWithoutACall) {
  WinUsbDevice device;
  OpenPlain(device);
  Bytes data(8);
  std::uint32_t transferred = 77;
  EXPECT_FALSE(device.Read(1, data.data(), 8, &transferred));
  EXPECT_FALSE(device.Read(0, nullptr, 8, &transferred));
  EXPECT_FALSE(device.Read(0, data.data(), 0, &transferred));
  EXPECT_FALSE(device.Read(0, data.data(), 8, nullptr));
  EXPECT_EQ(transferred, 77u);
  EXPECT_THAT(platform.Calls(), IsEmpty());

  platform.reads = {{.error = ERROR_SEM_TIMEOUT}};
  EXPECT_FALSE(device.Read(0, data.data(), 8, &transferred));
  EXPECT_THAT(platform.Calls(), ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 64, null)"));
}

TEST_F(WinUsbDeviceTest, AbortFlushesDropsTheStagedBytesAndAborts) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.reads = {{.data = Sequence(20)}, {.data = Sequence(8, 0xF0)}};
  Bytes data(8);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device.Read(0, data.data(), 8, &transferred));  // 12 bytes stay staged

  EXPECT_TRUE(device.AbortPipe(0x81));
  ASSERT_TRUE(device.Read(0, data.data(), 8, &transferred));
  EXPECT_EQ(data, Sequence(8, 0xF0));
  EXPECT_THAT(
      platform.Calls(),
      ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 64, null)", "WinUsb_FlushPipe(winusb1, 0x81)",
                  "WinUsb_AbortPipe(winusb1, 0x81)", "WinUsb_ReadPipe(winusb1, 0x81, 64, null)"));
}

TEST_F(WinUsbDeviceTest, AbortAnswersWithTheAbortAloneAndLeavesOtherPipesStaged) {
  WinUsbDevice device;
  OpenPlain(device);
  platform.reads = {{.data = Sequence(20)}};
  Bytes data(8);
  std::uint32_t transferred = 0;
  ASSERT_TRUE(device.Read(0, data.data(), 8, &transferred));

  platform.flushSucceeds = false;
  EXPECT_TRUE(device.AbortPipe(0x02));
  platform.abortSucceeds = false;
  EXPECT_FALSE(device.AbortPipe(0x02));

  // The IN pipe kept its staged bytes: no platform read.
  ASSERT_TRUE(device.Read(0, data.data(), 8, &transferred));
  EXPECT_EQ(data, Sequence(8, 8));
  EXPECT_THAT(platform.Calls(),
              ElementsAre("WinUsb_ReadPipe(winusb1, 0x81, 64, null)",
                          "WinUsb_FlushPipe(winusb1, 0x02)", "WinUsb_AbortPipe(winusb1, 0x02)",
                          "WinUsb_FlushPipe(winusb1, 0x02)", "WinUsb_AbortPipe(winusb1, 0x02)"));
}

TEST_F(WinUsbDeviceTest, ResetIsThePlatformsReset) {
  WinUsbDevice device;
  OpenPlain(device);
  EXPECT_TRUE(device.ResetPipe(0x81));
  platform.resetSucceeds = false;
  EXPECT_FALSE(device.ResetPipe(0x02));
  EXPECT_THAT(platform.Calls(),
              ElementsAre("WinUsb_ResetPipe(winusb1, 0x81)", "WinUsb_ResetPipe(winusb1, 0x02)"));
}

}  // namespace
}  // namespace nevrik
