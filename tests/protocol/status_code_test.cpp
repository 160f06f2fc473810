#include "protocol/status_code.h"

#include <array>
#include <climits>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace nevrik {
namespace {

TEST(StatusCodeName, NamesEveryCode) {
  const std::array<const char*, 27> names = {
      "Success",
      "InvalidCommand",
      "ProtocolError",
      "DeviceError",
      "HostInternalError",
      "DeviceInternalError",
      "Busy",
      "BadParameter",
      "TooLargeData",
      "NoEstablishedKey",
      "SecureTransactionProhibited",
      "NonsecureTransactionProhibited",
      "TooManySessionsOpened",
      "InvalidSession",
      "SessionExists",
      "DeviceNotInitialized",
      "IncorrectPin",
      "InvalidUser",
      "PinNotInitialized",
      "NotLoggedIn",
      "OperationDenied",
      "InvalidObject",
      "InvalidKey",
      "NotEnoughStorageMemory",
      "WrongSignature",
      "DeviceWriteProtected",
      "PinLocked",
  };
  for (std::int32_t value = 0; value < 27; ++value) {
    EXPECT_EQ(std::string(StatusCodeName(static_cast<StatusCode>(value))), names[value])
        << "value " << value;
  }
  EXPECT_STREQ(StatusCodeName(StatusCode::PinLocked), "PinLocked");
}

TEST(StatusCodeName, OtherValuesAreUnknownIncludingNegativeOnes) {
  for (const std::int32_t value : {27, 28, 255, INT32_MAX, -1, -27, INT32_MIN}) {
    EXPECT_STREQ(StatusCodeName(static_cast<StatusCode>(value)), "Unknown status")
        << "value " << value;
  }
}

TEST(StatusFromDevice, MapsEveryDeviceStatus) {
  const std::array<StatusCode, 24> table = {
      StatusCode::Success,                         // 0
      StatusCode::InvalidCommand,                  // 1
      StatusCode::TooLargeData,                    // 2
      StatusCode::Busy,                            // 3
      StatusCode::HostInternalError,               // 4
      StatusCode::NoEstablishedKey,                // 5
      StatusCode::BadParameter,                    // 6
      StatusCode::DeviceInternalError,             // 7
      StatusCode::OperationDenied,                 // 8
      StatusCode::InvalidKey,                      // 9
      StatusCode::SecureTransactionProhibited,     // 10
      StatusCode::NonsecureTransactionProhibited,  // 11
      StatusCode::TooManySessionsOpened,           // 12
      StatusCode::InvalidSession,                  // 13
      StatusCode::DeviceNotInitialized,            // 14
      StatusCode::IncorrectPin,                    // 15
      StatusCode::PinNotInitialized,               // 16
      StatusCode::NotLoggedIn,                     // 17
      StatusCode::InvalidUser,                     // 18
      StatusCode::SessionExists,                   // 19
      StatusCode::NotEnoughStorageMemory,          // 20
      StatusCode::InvalidObject,                   // 21
      StatusCode::DeviceWriteProtected,            // 22
      StatusCode::PinLocked,                       // 23
  };
  for (int status = 0; status < 64; ++status) {
    const StatusCode expected = status < 24 ? table[status] : StatusCode::DeviceInternalError;
    EXPECT_EQ(StatusFromDevice(static_cast<std::uint8_t>(status)), expected)
        << "device status " << status;
  }
}

TEST(StatusFromDevice, IgnoresBitsSixAndSeven) {
  EXPECT_EQ(StatusFromDevice(0x43), StatusCode::Busy);
  EXPECT_EQ(StatusFromDevice(0x83), StatusCode::Busy);
  for (int status = 0; status < 64; ++status) {
    const StatusCode plain = StatusFromDevice(static_cast<std::uint8_t>(status));
    for (const int highBits : {0x40, 0x80, 0xC0}) {
      EXPECT_EQ(StatusFromDevice(static_cast<std::uint8_t>(status | highBits)), plain)
          << "device status " << status << " with high bits " << highBits;
    }
  }
}

TEST(StatusFromDevice, DeviceStatusFourIsAHostInternalError) {
  EXPECT_EQ(StatusFromDevice(4), StatusCode::HostInternalError);
  EXPECT_EQ(StatusFromDevice(24), StatusCode::DeviceInternalError);
  EXPECT_EQ(StatusFromDevice(63), StatusCode::DeviceInternalError);
}

}  // namespace
}  // namespace nevrik
